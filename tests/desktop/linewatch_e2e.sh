#!/usr/bin/env bash
# Runs one end-to-end scenario of the desktop program (linewatch_e2e.py)
# inside both labs: the desktop lab around the network lab, the program in the
# network lab's monitor namespace.
#
#   linewatch_e2e.sh SCENARIO LINEWATCH ARTIFACTS_DIR
#
# LW_E2E_LAB names another desktop lab of this folder (wayland_lab.sh), and
# LW_E2E_SCRIPT another scenario file (sni_e2e.py).
# Exit status 77 (skipped) when the labs cannot start here; the reason is
# printed.
set -euo pipefail

DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "${DIR}/../.." && pwd)"
PATH="${PATH}:/usr/sbin:/sbin"

skip() {
  echo "linewatch_e2e: cannot run: $*" >&2
  exit 77
}

[ $# -eq 3 ] || {
  echo "usage: $(basename "$0") SCENARIO LINEWATCH ARTIFACTS_DIR" >&2
  exit 2
}
[ "$(id -u)" -eq 0 ] || skip "the network lab needs root"
for tool in ip pppoe-server; do
  command -v "${tool}" >/dev/null 2>&1 || skip "'${tool}' is missing; run scripts/setup"
done
[ -x /usr/libexec/at-spi-bus-launcher ] || skip "the accessibility bus (at-spi2-core) is missing"
# Debian's Python modules belong to /usr/bin/python3.
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || skip "python3-pyatspi is missing"
[ -x "$2" ] || skip "$2 is not built"

# The source tree stays as it is: no byte-code caches beside the scripts.
export PYTHONDONTWRITEBYTECODE=1
export PYTHONPATH="${DIR}${PYTHONPATH:+:${PYTHONPATH}}"
export LW_PADO_RESPONDER="${LW_PADO_RESPONDER:-$(dirname "$(dirname "$2")")/tests/pado_responder}"
exec "${DIR}/${LW_E2E_LAB:-desktop_lab.sh}" run -- "${ROOT}/tests/lab/lab.sh" run -- \
  /usr/bin/python3 "${DIR}/${LW_E2E_SCRIPT:-linewatch_e2e.py}" "$@"
