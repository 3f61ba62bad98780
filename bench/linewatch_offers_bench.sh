#!/usr/bin/env bash
# Runs linewatch_offers_bench.py inside the desktop lab around the network
# lab (needs root):
#   bench/linewatch_offers_bench.sh [LINEWATCH] [OFFERS] [RUNS]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
binary="$(realpath "${1:-${ROOT}/build/desktop/linewatch}")"
export PYTHONDONTWRITEBYTECODE=1
export PYTHONPATH="${ROOT}/tests/desktop${PYTHONPATH:+:${PYTHONPATH}}"
export LW_PADO_RESPONDER="${LW_PADO_RESPONDER:-$(dirname "$(dirname "${binary}")")/tests/pado_responder}"
exec "${ROOT}/tests/desktop/desktop_lab.sh" run -- "${ROOT}/tests/lab/lab.sh" run -- \
  /usr/bin/python3 "${ROOT}/bench/linewatch_offers_bench.py" "${binary}" "${@:2}"
