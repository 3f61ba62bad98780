#!/usr/bin/env bash
# The packaged linewatch-cli, run by an ordinary user, captures thanks to the
# file capability alone: the package is unpacked into a temporary folder, the
# capability granted as its postinst grants it, and the program run as
# nobody in the network lab's monitor namespace for two probe cycles. Both
# lab ACs must be listed.
#
#   tests/package/capture_lab.sh linewatch_VERSION_ARCH.deb [RELEASE]
#
# With RELEASE (a Debian code name other than this machine's: trixie) the
# package is installed with apt into a fresh root of that release instead
# (scripts/package.d/debian_root.sh), and the program runs in it (chroot) in
# the lab's namespace: its libraries are that release's. LW_PACKAGE_ROOT
# names a root where the package is installed already (fresh_install.sh
# passes its own, which saves making and filling another).
#
# Needs root (the lab); exits 77 (skipped) without it.
set -euo pipefail

deb=$(realpath "$1")
release=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
lab="$here/../lab/lab.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "capture_lab: needs root for the network lab; skipped"
  exit 77
fi
PATH="$PATH:/usr/sbin:/sbin"
fail() {
  echo "capture_lab: $*" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/lwcapture.XXXXXX")
# in_target: the prefix that runs a command where the package is.
in_target=()
if [ -n "$release" ]; then
  # shellcheck source=scripts/package.d/debian_root.sh
  . "$here/../../scripts/package.d/debian_root.sh"
  if [ -n "${LW_PACKAGE_ROOT:-}" ]; then
    ROOT=$LW_PACKAGE_ROOT
    trap 'rm -rf "$work" "${ROOT:?}$work"' EXIT
  else
    tarball=$(root_tarball "$release" "$release-apt") || fail "no Debian $release root"
    trap 'root_leave; rm -rf "$work"' EXIT
    root_enter "$tarball"
    cp "$deb" "$ROOT/tmp/"
    in_root apt-get update -qq
    in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "/tmp/$(basename "$deb")" \
      >"$work/apt" 2>&1 || {
      tail -n 30 "$work/apt" >&2
      fail "the package does not install on $release"
    }
  fi
  # ip netns exec mounts the namespace's /sys in a mount namespace of its
  # own; the root gets it there too (adapters are listed from it), and the
  # mount goes with that namespace.
  # shellcheck disable=SC2016 # the inner shell expands it
  in_target=(sh -c 'mount --bind /sys "$0/sys" && exec chroot "$0" "$@"' "$ROOT")
  # The work folder as the root sees it.
  mkdir -p "$ROOT$work"
  chmod 755 "$ROOT$work"
  cli=/usr/bin/linewatch-cli
  getcap "$ROOT$cli"
  home="$work/home"
  mkdir -p "$ROOT$home"
  chown 65534:65534 "$ROOT$home"
else
  trap 'rm -rf "$work"' EXIT
  dpkg-deb -x "$deb" "$work/root"
  cli="$work/root/usr/bin/linewatch-cli"
  # The grant of the package's postinst, read from it.
  grant=$(dpkg-deb -I "$deb" postinst | grep -Eo 'setcap cap_net_raw\+p' | head -n 1)
  [ -n "$grant" ] || fail "the package's postinst grants no capability"
  $grant "$cli"
  getcap "$cli"
  home="$work/home"
  mkdir -p "$home"
  chown 65534:65534 "$home"
  chmod 755 "$work" "$work/root"
fi

eval "$("$lab" env)"
# nobody, no groups, a bounding set without anything but what the file grants:
# only the file capability can let it capture.
"$lab" run -- ip netns exec "$LW_LAB_MON_NS" "${in_target[@]}" \
  env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config" \
  XDG_DATA_HOME="$home/data" \
  setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
  "$cli" -i "$LW_LAB_MON_IF" --interval 2 --cycles 2 >"$work/out" 2>&1 || {
  cat "$work/out" >&2
  fail "linewatch-cli failed as an ordinary user"
}
cat "$work/out"
for ac in LabAC-One LabAC-Two; do
  grep -q "$ac" "$work/out" || fail "$ac is not listed"
done

# Without the capability the same run is refused: the grant is what counts.
setcap -r "${ROOT:-}$cli"
if "$lab" run -- ip netns exec "$LW_LAB_MON_NS" "${in_target[@]}" env -i PATH=/usr/bin:/bin \
  HOME="$home" \
  setpriv --reuid=65534 --regid=65534 --clear-groups \
  "$cli" -i "$LW_LAB_MON_IF" --interval 2 --cycles 1 >"$work/denied" 2>&1; then
  cat "$work/denied" >&2
  fail "linewatch-cli captured without the capability"
fi
grep -q 'needs the CAP_NET_RAW capability' "$work/denied" || {
  cat "$work/denied" >&2
  fail "linewatch-cli failed without the capability, but not for want of it"
}
tail -n 2 "$work/denied"
echo "capture_lab: all checks passed"
