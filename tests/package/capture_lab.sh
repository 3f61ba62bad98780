#!/usr/bin/env bash
# The packaged linewatch-cli, run by an ordinary user, captures thanks to the
# file capability alone: the package is unpacked into a temporary folder, the
# capability granted as its postinst grants it, and the program run as
# nobody in the network lab's monitor namespace for two probe cycles. Both
# lab ACs must be listed.
#
#   tests/package/capture_lab.sh linewatch_VERSION_ARCH.deb
#
# Needs root (the lab); exits 77 (skipped) without it.
set -euo pipefail

deb=$(realpath "$1")
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
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
cli="$work/root/usr/bin/linewatch-cli"
# The grant of the package's postinst, read from it.
grant=$(dpkg-deb -I "$deb" postinst | grep -Eo 'setcap cap_net_raw\+p' | head -n 1)
[ -n "$grant" ] || fail "the package's postinst grants no capability"
$grant "$cli"
getcap "$cli"
mkdir -p "$work/home"
chown 65534:65534 "$work/home"
chmod 755 "$work" "$work/root"

eval "$("$lab" env)"
# nobody, no groups, a bounding set without anything but what the file grants:
# only the file capability can let it capture.
"$lab" run -- ip netns exec "$LW_LAB_MON_NS" \
  env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" \
  XDG_DATA_HOME="$work/home/data" \
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
setcap -r "$cli"
if "$lab" run -- ip netns exec "$LW_LAB_MON_NS" env -i PATH=/usr/bin:/bin HOME="$work/home" \
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
