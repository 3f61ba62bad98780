#!/usr/bin/env bash
# Checks the built Debian package with the tools that read its parts:
# lintian (no errors), desktop-file-validate, appstreamcli validate, the
# polkit policy's XML and the path it authorises, the file list and the
# maintainer scripts.
#
#   tests/package/check_package.sh linewatch_VERSION_ARCH.deb
set -euo pipefail

deb=$(realpath "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/lwpkgcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "check_package: $*" >&2
  exit 1
}

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -c "$deb" >"$work/contents"

echo "-- lintian"
# Errors fail; warnings are printed. --suppress-tags for none: every tag shows.
lintian --tag-display-limit 0 "$deb" 2>&1 | tee "$work/lintian" || true
if grep -q '^E: ' "$work/lintian"; then
  fail "lintian reports errors"
fi

echo "-- desktop entry and AppStream metadata"
desktop-file-validate "$work/root/usr/share/applications/linewatch.desktop"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.tarnweld.linewatch.metainfo.xml"

echo "-- installed layout"
expected=(
  usr/bin/linewatch
  usr/bin/linewatch-cli
  usr/libexec/linewatch/linewatch-elevated
  usr/libexec/linewatch/linewatch-capture
  "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libsetupaid.so"
  usr/sbin/setupaid-tool
  usr/share/linewatch/language/English.lng
  usr/share/linewatch/language/Deutsch.lng
  usr/share/polkit-1/actions/org.tarnweld.linewatch.elevated.policy
  usr/share/applications/linewatch.desktop
  usr/share/metainfo/org.tarnweld.linewatch.metainfo.xml
  usr/share/icons/hicolor/scalable/apps/linewatch.svg
  usr/share/icons/hicolor/scalable/apps/linewatch-normal.svg
  usr/share/icons/hicolor/scalable/apps/linewatch-alarm.svg
  usr/share/man/man1/linewatch.1.gz
  usr/share/man/man1/linewatch-cli.1.gz
  usr/share/man/man8/setupaid-tool.8.gz
  usr/share/doc/linewatch/copyright
  usr/share/doc/linewatch/changelog.gz
)
for path in "${expected[@]}"; do
  [ -e "$work/root/$path" ] || fail "missing /$path"
done
# Nothing of the build tree: no build paths in the programs' strings.
build_root=$(cd "$(dirname "$0")/../.." && pwd)
for program in usr/bin/linewatch usr/bin/linewatch-cli usr/libexec/linewatch/linewatch-elevated \
  usr/libexec/linewatch/linewatch-capture; do
  if strings "$work/root/$program" | grep -qF "$build_root"; then
    fail "/$program names the build folder $build_root"
  fi
done
# The program that holds the capture capability links libpcap and the C and
# C++ runtimes, nothing else (no Qt, SQLite, D-Bus or metrics).
needed=$(objdump -p "$work/root/usr/libexec/linewatch/linewatch-capture" | awk '$1 == "NEEDED" { print $2 }')
echo "linewatch-capture needs: ${needed//$'\n'/ }"
for library in $needed; do
  case "$library" in
    libpcap.so.* | libstdc++.so.* | libgcc_s.so.* | libm.so.* | libc.so.*) ;;
    *) fail "linewatch-capture links $library" ;;
  esac
done

echo "-- polkit policy"
policy="$work/root/usr/share/polkit-1/actions/org.tarnweld.linewatch.elevated.policy"
xmllint --noout --nonet "$policy"
exec_path=$(xmllint --xpath \
  'string(//action[@id="org.tarnweld.linewatch.elevated"]/annotate[@key="org.freedesktop.policykit.exec.path"])' \
  "$policy")
[ "$exec_path" = /usr/libexec/linewatch/linewatch-elevated ] ||
  fail "the policy authorises '$exec_path', not the installed helper"
[ -x "$work/root$exec_path" ] || fail "the policy's helper $exec_path is not in the package"
# That the programs start this path is checked by running them
# (tests/package/fresh_install.sh).

echo "-- dependencies and maintainer scripts"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Debian 13 renamed some libraries for its 64-bit time_t (libpcap0.8t64).
for needed in libpcap0.8 libqt6widgets6 libqt6multimedia6 libqt6svg6 ppp pkexec libcap2-bin; do
  grep -Eq "(^|, )$needed(t64)?( |,|$)" <<<"$depends" || fail "Depends lacks $needed"
done
grep -q 'setcap cap_net_raw+p' "$work/control/postinst" || fail "postinst grants no capability"
shellcheck -s sh "$work/control/postinst" "$work/control/prerm" "$work/control/postrm"
echo "check_package: all checks passed"
