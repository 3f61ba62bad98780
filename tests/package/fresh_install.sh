#!/usr/bin/env bash
# Installs the package into a fresh, minimal Debian root of its release and
# checks that it works there as installed: apt resolves its dependencies from
# the Debian archive, the programs start, the capture helper alone holds the
# capture capability, the helper library loads, polkit knows the policy; then
# purging removes every file the package brought and added, and the capture
# group.
#
#   tests/package/fresh_install.sh linewatch_VERSION_ARCH.deb [RELEASE]
#
# RELEASE is the Debian code name the package is built for (bookworm, the
# default, or trixie). The root is made with mmdebstrap (variant apt) from
# the mirror this machine's apt uses, and kept as a tarball in $LW_CACHE_DIR
# (default ~/.cache/linewatch) for a week; downloaded packages are kept there
# too (scripts/package.d/debian_root.sh). With LW_FRESH_INSTALL_CAPTURE=1
# the installed linewatch-cli also runs in the network lab, from the root,
# as a member of the capture group and as a user outside it, before purge. Needs root (chroot, mounts); exits
# 77 (skipped) without it. An unreachable mirror is a failure.
set -euo pipefail

deb=$(realpath "$1")
release=${2:-bookworm}
if [ "$(id -u)" -ne 0 ]; then
  echo "fresh_install: needs root (chroot and mounts); skipped"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/package.d/debian_root.sh
. "$here/../../scripts/package.d/debian_root.sh"
number=$(debian_number "$release")

say() { echo "-- $*"; }
fail() {
  echo "fresh_install: $*" >&2
  exit 1
}

MIRROR=$(debian_mirror)
tarball=$(root_tarball "$release" "$release-apt") || fail "no Debian $number root"

logs=$(mktemp -d "${TMPDIR:-/tmp}/lwfresh-logs.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  root_leave
  rm -rf "$logs"
}
trap cleanup EXIT
root_enter "$tarball"
root=$ROOT
cp "$deb" "$root/tmp/"
name=$(basename "$deb")

# Every path of the root, but the kernel's and the scratch folders.
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./tmp -o -path ./root \
    -o -path ./var/cache -o -path ./var/log -o -path ./var/lib/apt/lists -o -path ./run \) -prune \
    -o -print | LC_ALL=C sort) >"$1"
}
before="$logs/before"
snapshot "$before"

say "apt-get install ./$name in the fresh root"
in_root apt-get update -qq || fail "apt-get update failed: is the Debian mirror $MIRROR reachable?"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "/tmp/$name" >"$before.apt" 2>&1 || {
  tail -n 40 "$before.apt" >&2
  fail "the package does not install on Debian $number"
}
grep -E '^(Setting up|Unpacking) linewatch' "$before.apt"
in_root dpkg -L linewatch | LC_ALL=C sort >"$before.owned"

say "linewatch-cli --help"
in_root linewatch-cli --help | head -n 3

say "capture capability: on the capture helper only, for the linewatch group"
for program in /usr/bin/linewatch /usr/bin/linewatch-cli; do
  [ -z "$(in_root getcap "$program")" ] || fail "$program carries a capability"
done
capture=/usr/libexec/linewatch/linewatch-capture
caps=$(in_root getcap "$capture")
echo "$caps"
grep -Eq 'cap_net_raw[=+]p$' <<<"$caps" || fail "$capture has no cap_net_raw in its permitted set"
[ "$(in_root stat -c '%U:%G %a' "$capture")" = "root:linewatch 750" ] ||
  fail "$capture is not root:linewatch 0750"

say "setupaid-tool loads libsetupaid.so"
rc=0
out=$(in_root setupaid-tool disable-messenger) || rc=$?
echo "$out"
if [ "$rc" -ne 2 ] || [ "$out" != "2 nothing to do, or the system part is absent" ]; then
  fail "setupaid-tool disable-messenger: status $rc"
fi
in_root unshare --net setupaid-tool connections

say "the installed helper is the one the programs start"
mkdir -p "$root/tmp/user/run"
cat >"$root/tmp/user/launch" <<'LAUNCH'
#!/bin/sh
# Stands in for pkexec: notes the command and declines.
printf '%s\n' "$@" >/tmp/user/launched
exit 126
LAUNCH
chmod 755 "$root/tmp/user/launch"
chown -R 65534:65534 "$root/tmp/user"
# As an ordinary user the peers folder is not writable, so writing an entry
# asks the helper.
if chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp/user \
  LW_ELEVATE_COMMAND=/tmp/user/launch \
  setpriv --reuid=65534 --regid=65534 --clear-groups \
  linewatch-cli --create-connection Probe --ac LabAC -i lo; then
  fail "an ordinary user wrote a peers entry without the helper"
fi
launched=$(head -n 1 "$root/tmp/user/launched" 2>/dev/null || true)
[ "$launched" = /usr/libexec/linewatch/linewatch-elevated ] ||
  fail "linewatch-cli starts '$launched' as its helper, not the installed one"
echo "helper started: $launched"

say "the PPPoE driver values in the machine-wide store"
[ -s "$root/etc/linewatch/registry.db" ] || fail "postinst planted no machine-wide store"
cat "$root/var/lib/linewatch/package-seed"

say "linewatch starts offscreen as an ordinary user and closes on SIGTERM"
chmod 700 "$root/tmp/user/run"
# chroot, env, unshare and setpriv each exec the next: $! is linewatch.
# Its own network namespace: only the loopback device, no probe leaves.
chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp/user XDG_RUNTIME_DIR=/tmp/user/run \
  QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 \
  unshare --net setpriv --reuid=65534 --regid=65534 --clear-groups \
  linewatch >"$before.gui" 2>&1 &
gui=$!
pids+=("$gui")
up=""
for _ in $(seq 1 60); do
  kill -0 "$gui" 2>/dev/null || break
  # The single-instance socket appears once the window is up.
  if [ -n "$(find "$root/tmp/user/run" -type s 2>/dev/null)" ]; then
    up=yes
    break
  fi
  sleep 0.5
done
[ -n "$up" ] || {
  cat "$before.gui" >&2
  fail "linewatch did not come up"
}
sleep 1
kill -TERM "$gui" 2>/dev/null || true
rc=0
wait "$gui" || rc=$?
cat "$before.gui"
[ "$rc" -eq 0 ] || fail "linewatch exited with status $rc after SIGTERM"
echo "linewatch: exit status 0"

say "polkit knows the policy"
policy=/usr/share/polkit-1/actions/org.tarnweld.linewatch.elevated.policy
xmllint --noout --nonet "$root$policy"
mkdir -p "$root/run/dbus"
if in_root dbus-daemon --system --fork --print-pid >"$before.dbus" 2>&1; then
  pids+=("$(head -n 1 "$before.dbus")")
  in_root /usr/lib/polkit-1/polkitd --no-debug >"$before.polkitd" 2>&1 &
  pids+=("$!")
  found=""
  for _ in $(seq 1 20); do
    if in_root pkaction --action-id org.tarnweld.linewatch.elevated --verbose >"$before.pkaction" 2>&1; then
      found=yes
      break
    fi
    sleep 0.5
  done
  cat "$before.pkaction"
  [ -n "$found" ] || fail "pkaction does not see org.tarnweld.linewatch.elevated"
  grep -q "org.freedesktop.policykit.exec.path -> /usr/libexec/linewatch/linewatch-elevated" \
    "$before.pkaction" || fail "the policy does not authorise the installed helper"
else
  cat "$before.dbus" >&2
  fail "the system bus does not start in the root"
fi
for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
pids=()

# LW_FRESH_INSTALL_CAPTURE=1: the installed package also captures in the
# network lab, run in this root (chroot) in the lab's monitor namespace, so
# that its libraries are this release's: a member of the linewatch group
# lists both lab ACs through the capture helper, and a user outside the group
# is refused with the command that adds them to it.
if [ -n "${LW_FRESH_INSTALL_CAPTURE:-}" ]; then
  say "linewatch-cli captures in the lab for a member of the linewatch group only"
  lab="$here/../lab/lab.sh"
  eval "$("$lab" env)"
  member=lwu25m
  in_root useradd --no-create-home --groups linewatch "$member"
  uid=$(in_root id -u "$member")
  gid=$(in_root id -g "$member")
  group=$(in_root getent group linewatch | cut -d: -f3)
  # ip netns exec mounts the namespace's /sys in a mount namespace of its
  # own; the root gets it there too (adapters are listed from it).
  # shellcheck disable=SC2016 # the inner shell expands it
  in_lab_root=(sh -c 'mount --bind /sys "$0/sys" && exec chroot "$0" "$@"' "$root")
  as_user() {
    "$lab" run -- ip netns exec "$LW_LAB_MON_NS" "${in_lab_root[@]}" \
      env -i PATH=/usr/bin:/bin HOME=/tmp setpriv "$@" --inh-caps=-all \
      linewatch-cli -i "$LW_LAB_MON_IF" --interval 2 --cycles 2
  }
  as_user --reuid="$uid" --regid="$gid" --groups="$group" >"$logs/member" 2>&1 || {
    cat "$logs/member" >&2
    fail "linewatch-cli failed for a member of the linewatch group"
  }
  for ac in LabAC-One LabAC-Two; do
    grep -q "$ac" "$logs/member" || fail "$ac is not listed for the group member"
  done
  if as_user --reuid=65534 --regid=65534 --clear-groups >"$logs/outsider" 2>&1; then
    cat "$logs/outsider" >&2
    fail "linewatch-cli captured for a user outside the linewatch group"
  fi
  grep -q 'usermod -aG linewatch' "$logs/outsider" || {
    cat "$logs/outsider" >&2
    fail "the refusal does not name the group command"
  }
  tail -n 2 "$logs/outsider"
  in_root userdel "$member"
fi

say "purge, and nothing of the package is left"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q linewatch >/dev/null
snapshot "$before.after"
while read -r path; do
  [ -d "$root$path" ] && continue  # shared folders such as /usr/bin
  [ -e "$root$path" ] && fail "$path is still there after purge"
done <"$before.owned"
leftovers=$(comm -13 "$before" "$before.after" | grep -Ei 'linewatch|setupaid|tarnweld' || true)
[ -z "$leftovers" ] || fail "left after purge: $leftovers"
[ ! -e "$root/etc/linewatch" ] || fail "/etc/linewatch is left after purge"
[ ! -e "$root/var/lib/linewatch" ] || fail "/var/lib/linewatch is left after purge"
# Nobody joined the capture group here: purge takes it back.
! in_root getent group linewatch >/dev/null || fail "the linewatch group is left after purge"
echo "fresh_install: all checks passed"
