#!/usr/bin/env bash
# Who may capture once the package is installed, checked with real users in
# the network lab. The package is installed on this machine (and purged
# again at the end), two ordinary users are made with useradd, one in the
# linewatch group and one not, and the real programs run as them:
#  - getcap shows CAP_NET_RAW on the capture helper only, which is
#    root:linewatch 0750;
#  - the member's linewatch-cli and desktop program (offscreen) list both lab
#    ACs through the helper;
#  - the member's desktop program, started with QT_PLUGIN_PATH and
#    QT_QPA_GENERIC_PLUGINS naming a plugin that tries to raise CAP_NET_RAW
#    and open an ETH_P_ALL packet socket, is refused both (the same plugin
#    in a process that holds the capability opens it);
#  - the non-member is refused with the command that adds them to the group,
#    and captures with a copy of linewatch-cli granted the capability by hand;
#  - remove and purge take back the helper's grant and the group, which
#    stays while a user is in it.
#
#   tests/package/capture_lab.sh linewatch_VERSION_ARCH.deb
#
# Needs root (the lab, installing); exits 77 (skipped) without it, or when a
# linewatch package is installed here already (it would not be the one under
# test, and is not this test's to remove).
set -euo pipefail

deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
lab="$here/../lab/lab.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "capture_lab: needs root for the network lab and the installation; skipped"
  exit 77
fi
if dpkg-query -W -f='${Status}' linewatch 2>/dev/null | grep -q installed; then
  echo "capture_lab: a linewatch package is installed here already; skipped"
  exit 77
fi
PATH="$PATH:/usr/sbin:/sbin"
helper=/usr/libexec/linewatch/linewatch-capture
member=lwu19m
outsider=lwu19n
group_was_there=$(getent group linewatch || true)

say() { echo "-- $*"; }
fail() {
  echo "capture_lab: $*" >&2
  exit 1
}

work=$(mktemp -d /tmp/lwcapture.XXXXXX)
chmod 755 "$work"
installed=""
cleanup() {
  for user in "$member" "$outsider"; do
    if id "$user" >/dev/null 2>&1; then userdel "$user" 2>/dev/null || true; fi
  done
  if [ -n "$installed" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q linewatch >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

install_package() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" \
    >"$work/apt.log" 2>&1 || {
    tail -n 30 "$work/apt.log" >&2
    fail "the package does not install here"
  }
  installed=yes
}

say "install $(basename "$deb")"
install_package

say "the capability is on the helper only"
for program in /usr/bin/linewatch /usr/bin/linewatch-cli; do
  caps=$(getcap "$program")
  [ -z "$caps" ] || fail "$program carries a capability: $caps"
  echo "$program: no capability"
done
caps=$(getcap "$helper")
echo "$caps"
grep -Eq 'cap_net_raw[=+]p$' <<<"$caps" || fail "$helper has no cap_net_raw in its permitted set"
owner=$(stat -c '%U:%G %a' "$helper")
echo "$helper: $owner"
[ "$owner" = "root:linewatch 750" ] || fail "$helper is $owner, not root:linewatch 750"

say "users $member (in linewatch) and $outsider (not)"
for user in "$member" "$outsider"; do
  if id "$user" >/dev/null 2>&1; then userdel "$user"; fi
  mkdir -p "$work/$user/run" "$work/$user/logs"
done
useradd --no-create-home --home-dir "$work/$member" --groups linewatch "$member"
useradd --no-create-home --home-dir "$work/$outsider" "$outsider"
for user in "$member" "$outsider"; do
  chown -R "$user:" "$work/$user"
  chmod 700 "$work/$user/run"
done

# The plugin of the attack: loaded by Qt from QT_PLUGIN_PATH, it tries to
# raise CAP_NET_RAW and to open a packet socket for every frame, and writes
# what happened to $LW_ATTACK_REPORT.
mkdir -p "$work/plugins/generic"
cat >"$work/attack.json" <<'JSON'
{ "Keys": [ "lwattack" ] }
JSON
cat >"$work/attack.cpp" <<'CPP'
#include <QGenericPlugin>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static void Attack() {
    FILE* report = std::fopen(std::getenv("LW_ATTACK_REPORT"), "w");
    if (report == nullptr) return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    syscall(SYS_capget, &header, data);
    data[0].effective |= 1u << CAP_NET_RAW;
    const int raised = static_cast<int>(syscall(SYS_capset, &header, data));
    std::fprintf(report, "raise: %s\n", raised == 0 ? "raised" : std::strerror(errno));
    const int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    std::fprintf(report, "socket: %s\n", fd >= 0 ? "opened" : std::strerror(errno));
    std::fclose(report);
}

class AttackPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "attack.json")
  public:
    QObject* create(const QString&, const QString&) override {
        Attack();
        return nullptr;
    }
};
#include "attack.moc"
CPP
# shellcheck disable=SC2046 # one word per flag
/usr/lib/qt6/libexec/moc $(pkg-config --cflags-only-I Qt6Gui) "$work/attack.cpp" -o "$work/attack.moc"
# shellcheck disable=SC2046 # one word per flag
g++ -std=c++17 -shared -fPIC -I"$work" $(pkg-config --cflags Qt6Gui) "$work/attack.cpp" \
  -o "$work/plugins/generic/libattack.so" $(pkg-config --libs Qt6Gui)
chmod -R a+rX "$work/plugins"

eval "$("$lab" env)"
as_user() {
  local user=$1
  shift
  runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$work/$user" \
    XDG_RUNTIME_DIR="$work/$user/run" LANG=C.UTF-8 "$@"
}

say "$member runs linewatch-cli in the lab"
"$lab" run -- ip netns exec "$LW_LAB_MON_NS" bash -c "$(declare -f as_user); work=$work; \
  as_user $member linewatch-cli -i $LW_LAB_MON_IF --interval 1 --cycles 2" \
  >"$work/member.out" 2>&1 || {
  cat "$work/member.out" >&2
  fail "linewatch-cli failed for a member of linewatch"
}
cat "$work/member.out"
for ac in LabAC-One LabAC-Two; do
  grep -q "$ac" "$work/member.out" || fail "$ac is not listed by the member's linewatch-cli"
done

say "$outsider is refused, and told how to join"
if "$lab" run -- ip netns exec "$LW_LAB_MON_NS" bash -c "$(declare -f as_user); work=$work; \
  as_user $outsider linewatch-cli -i $LW_LAB_MON_IF --interval 1 --cycles 1" \
  >"$work/outsider.out" 2>&1; then
  cat "$work/outsider.out" >&2
  fail "linewatch-cli captured for a user outside linewatch"
fi
cat "$work/outsider.out"
grep -q "sudo usermod -aG linewatch $outsider" "$work/outsider.out" ||
  fail "the refusal does not name the group command"

# A copy of linewatch-cli (no Qt) granted the capability by hand captures in
# process, for a user who may not run the helper: the grant is all it needs.
say "$outsider runs a copy of linewatch-cli granted cap_net_raw+p by hand"
mkdir -p "$work/granted"
cp /usr/bin/linewatch-cli "$work/granted/linewatch-cli"
chmod 755 "$work/granted" "$work/granted/linewatch-cli"
setcap cap_net_raw+p "$work/granted/linewatch-cli"
"$lab" run -- ip netns exec "$LW_LAB_MON_NS" bash -c "$(declare -f as_user); work=$work; \
  as_user $outsider $work/granted/linewatch-cli -i $LW_LAB_MON_IF --interval 1 --cycles 2" \
  >"$work/granted.out" 2>&1 || {
  cat "$work/granted.out" >&2
  fail "the granted copy of linewatch-cli failed"
}
for ac in LabAC-One LabAC-Two; do
  grep -q "$ac" "$work/granted.out" || fail "$ac is not listed by the granted copy"
done
echo "both lab ACs listed"

# The desktop program of the package, as a copy beside a linewatch.ini
# (its portable settings) that writes the general log to the member's folder.
say "$member runs the desktop program offscreen, with the attack plugin"
mkdir -p "$work/desktop"
cp /usr/bin/linewatch "$work/desktop/linewatch"
cat >"$work/desktop/linewatch.ini" <<INI
[Options]
LogGenWriteToFile=1
LogDirectory=$work/$member/logs
PcapDeviceName=$LW_LAB_MON_IF
INI
chown -R "$member:" "$work/desktop"
cat >"$work/desktop.sh" <<SCRIPT
#!/usr/bin/env bash
# Starts the desktop program, waits for both lab ACs in its general log,
# then closes it with SIGTERM.
$(declare -f as_user)
work=$work
as_user "\$1" QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH=$work/plugins \
  QT_QPA_GENERIC_PLUGINS=lwattack LW_ATTACK_REPORT="\$2" \
  "$work/desktop/linewatch" &
pid=\$!
for _ in \$(seq 1 60); do
  if grep -q LabAC-One "\$3" 2>/dev/null && grep -q LabAC-Two "\$3" 2>/dev/null; then break; fi
  kill -0 "\$pid" 2>/dev/null || break
  sleep 0.5
done
kill -TERM "\$pid" 2>/dev/null || true
wait "\$pid" || true
SCRIPT
chmod 755 "$work/desktop.sh"
log="$work/$member/logs/monitor.log"
"$lab" run -- ip netns exec "$LW_LAB_MON_NS" "$work/desktop.sh" "$member" \
  "$work/$member/attack" "$log" >"$work/desktop.out" 2>&1 || true
cat "$log" 2>/dev/null || true
for ac in LabAC-One LabAC-Two; do
  grep -q "AC: NEW: .*$ac" "$log" 2>/dev/null || {
    cat "$work/desktop.out" >&2
    fail "$ac is not listed by the member's desktop program"
  }
done
[ -s "$work/$member/attack" ] || fail "the attack plugin was not loaded (no report)"
cat "$work/$member/attack"
grep -q '^socket: Operation not permitted' "$work/$member/attack" ||
  fail "the plugin opened an ETH_P_ALL socket inside the desktop program"
grep -q '^raise: raised' "$work/$member/attack" && fail "the plugin raised CAP_NET_RAW"

# The same plugin where the capability is held (root) does open the socket:
# the report above is a refusal, not a plugin that cannot work.
say "control: the plugin in a process that holds the capability"
mkdir -p "$work/root-run"
chmod 700 "$work/root-run"
env -i PATH=/usr/bin:/bin HOME="$work/root-run" XDG_RUNTIME_DIR="$work/root-run" \
  QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$work/plugins" QT_QPA_GENERIC_PLUGINS=lwattack \
  LW_ATTACK_REPORT="$work/root-run/attack" timeout -s TERM 5 unshare --net \
  "$work/desktop/linewatch" >/dev/null 2>&1 || true
cat "$work/root-run/attack"
grep -q '^socket: opened' "$work/root-run/attack" || fail "the control run did not open the socket"

say "remove, then purge while $member is in the group"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q linewatch >/dev/null
[ ! -e "$helper" ] || fail "$helper is still there after remove"
if dpkg-statoverride --list "$helper" >/dev/null; then fail "the helper's override is left"; fi
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q linewatch >/dev/null
installed=""
getent group linewatch >/dev/null || fail "purge removed the linewatch group while $member is in it"
echo "linewatch group kept: $(getent group linewatch)"

say "install again, and purge with nobody in the group"
install_package
userdel "$member"
userdel "$outsider"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q linewatch >/dev/null
installed=""
if [ -z "$group_was_there" ] && getent group linewatch >/dev/null; then
  fail "purge left the empty linewatch group"
fi
echo "capture_lab: all checks passed"
