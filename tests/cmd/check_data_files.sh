#!/usr/bin/env bash
# Checks the shipped service and Prometheus files with the tools that read
# them: systemd-analyze for the unit template, promtool for the configuration,
# the alert rules and the rules' own unit tests. Exit 77 (skipped) without
# the tools.
set -euo pipefail
data=$1
cli=$2
command -v promtool >/dev/null || { echo "promtool missing (Debian prometheus)"; exit 77; }
promtool check config "${data}/prometheus/prometheus.yml"
promtool check rules "${data}/prometheus/linewatch_rules.yml"
promtool test rules "${data}/prometheus/linewatch_rules_test.yml"
if command -v systemd-analyze >/dev/null; then
  work=$(mktemp -d)
  trap 'rm -rf "${work}"' EXIT
  # An instance of the template, run from the build tree.
  sed "s#/usr/bin/linewatch-cli#${cli}#" "${data}/systemd/linewatch-cli@.service" \
    >"${work}/linewatch-cli@eth0.100.service"
  systemd-analyze verify "${work}/linewatch-cli@eth0.100.service"
  grep -q '^AmbientCapabilities=CAP_NET_RAW$' "${data}/systemd/linewatch-cli@.service"
  grep -q '^DynamicUser=yes$' "${data}/systemd/linewatch-cli@.service"
  grep -q '^MemoryMax=' "${data}/systemd/linewatch-cli@.service"
  grep -q '^TasksMax=' "${data}/systemd/linewatch-cli@.service"
  # The sandbox as systemd rates it (0 safest, 10 exposed); it must stay
  # below 2.5.
  (cd "${work}" && systemd-analyze security --offline=yes --threshold=25 \
    "linewatch-cli@eth0.100.service" >"${work}/security.txt") ||
    { cat "${work}/security.txt"; exit 1; }
  echo "FIGURE systemd-analyze security: $(grep -o 'Overall exposure level.*' "${work}/security.txt")"
else
  echo "systemd-analyze missing: the unit template is not verified"
fi
