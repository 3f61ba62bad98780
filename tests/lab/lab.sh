#!/usr/bin/env bash
# The network lab: one Ethernet segment built from network namespaces, veth
# pairs and a Linux bridge, with two real PPPoE access concentrators
# (rp-pppoe's pppoe-server), a second station that sends foreign PADIs, a
# namespace for our own PADO responder, and a monitor namespace where the
# program under test runs.
#
#   lwbr    bridge lwbr0 joining every port below
#   lwmon   lwmon0  02:4c:57:00:01:01  the monitor (program under test)
#   lwac1   lwac1e0 02:4c:57:00:0a:01  pppoe-server AC-Name "LabAC-One", service "internet"
#   lwac2   lwac2e0 02:4c:57:00:0a:02  pppoe-server AC-Name "LabAC-Two", services "video", "voice"
#   lwsta   lwsta0  02:4c:57:00:05:01  foreign station (pppoe-discovery)
#   lwresp  lwresp0 02:4c:57:00:0e:01  pado_responder, offers from 02:00:00:xx:xx:xx
#
# Names are fixed, so only one lab can exist at a time; `up` removes leftovers
# of an earlier run first. Needs root.
set -euo pipefail

LAB_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT_DIR="$(cd "${LAB_DIR}/../.." && pwd)"
STATE_DIR="${LW_LAB_STATE_DIR:-/run/lwlab}"
# Held by `run` and by the test fixture while they use the lab.
LOCK_FILE=/run/lwlab.lock
# pppoe-server and ip live in the sbin folders, which a plain PATH may lack.
PATH="${PATH}:/usr/sbin:/sbin"

BRIDGE_NS=lwbr
BRIDGE=lwbr0
MON_NS=lwmon
MON_IF=lwmon0
MON_MAC=02:4c:57:00:01:01
STA_NS=lwsta
STA_IF=lwsta0
STA_MAC=02:4c:57:00:05:01
RESP_NS=lwresp
RESP_IF=lwresp0
RESP_MAC=02:4c:57:00:0e:01
AC_NS=(lwac1 lwac2)
AC_IF=(lwac1e0 lwac2e0)
AC_MAC=(02:4c:57:00:0a:01 02:4c:57:00:0a:02)
AC_NAME=(LabAC-One LabAC-Two)
AC_SERVICES=("internet" "video voice")
# Namespace, inner interface, inner MAC, bridge-side port name, port MAC.
PORTS=(
  "${MON_NS} ${MON_IF} ${MON_MAC} lwbr-mon 02:4c:57:00:b0:01"
  "${AC_NS[0]} ${AC_IF[0]} ${AC_MAC[0]} lwbr-ac1 02:4c:57:00:b0:0a"
  "${AC_NS[1]} ${AC_IF[1]} ${AC_MAC[1]} lwbr-ac2 02:4c:57:00:b0:0b"
  "${STA_NS} ${STA_IF} ${STA_MAC} lwbr-sta 02:4c:57:00:b0:05"
  "${RESP_NS} ${RESP_IF} ${RESP_MAC} lwbr-resp 02:4c:57:00:b0:0e"
)
ALL_NS=("${BRIDGE_NS}" "${MON_NS}" "${AC_NS[@]}" "${STA_NS}" "${RESP_NS}")
MON_PORT=lwbr-mon

die() {
  echo "lab: $*" >&2
  exit 1
}

usage() {
  cat <<EOF
usage: $(basename "$0") COMMAND [ARGS]

  up                  build the lab (removes leftovers of an earlier lab first)
  down                remove the lab (safe to run twice)
  status              show namespaces, links and processes of the lab
  env                 print the lab's names as shell assignments
  run -- CMD...       up, run CMD, always tear down; exits with CMD's status
                      (CMD sees the names of 'env' in its environment)
  ac-stop N           stop pppoe-server N (1 or 2)
  ac-start N          start pppoe-server N again
  cable-down          unplug the monitor's cable (its bridge-side port goes down)
  cable-up            plug it in again
  foreign-padi [--wait]
                      send one PADI from the station with pppoe-discovery; in the
                      background unless --wait (then prints what it found)
  responder N [ARGS]  (re)start pado_responder answering each PADI with N offers;
                      ARGS go to the responder (e.g. --count-padis K);
                      binary: \$LW_PADO_RESPONDER or build*/tests/pado_responder
  responder-stop      stop the responder
  capture-start FILE  capture on the monitor interface into a pcap file
  capture-stop        stop the capture and flush the file
EOF
}

need_root() {
  [ "$(id -u)" -eq 0 ] || die "needs root (network namespaces)"
}

need_tools() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 || die "'$t' is missing; run scripts/setup"
  done
}

ns_exists() {
  [ -e "/run/netns/$1" ]
}

print_env() {
  cat <<EOF
LW_LAB_SCRIPT=${LAB_DIR}/lab.sh
LW_LAB_MON_NS=${MON_NS}
LW_LAB_MON_IF=${MON_IF}
LW_LAB_MON_MAC=${MON_MAC}
LW_LAB_AC1_NS=${AC_NS[0]}
LW_LAB_AC1_MAC=${AC_MAC[0]}
LW_LAB_AC1_NAME=${AC_NAME[0]}
LW_LAB_AC2_NS=${AC_NS[1]}
LW_LAB_AC2_MAC=${AC_MAC[1]}
LW_LAB_AC2_NAME=${AC_NAME[1]}
LW_LAB_STA_NS=${STA_NS}
LW_LAB_STA_MAC=${STA_MAC}
LW_LAB_RESP_NS=${RESP_NS}
LW_LAB_RESP_MAC=${RESP_MAC}
EOF
}

# Waits until process PID has ended (it is not our child, so `wait` cannot).
wait_gone() {
  local pid=$1 i
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
}

stop_pidfile() {
  local file=$1 sig=${2:-TERM} pid
  [ -f "$file" ] || return 0
  pid=$(cat "$file" 2>/dev/null || true)
  if [[ "$pid" =~ ^[0-9]+$ ]]; then
    kill "-${sig}" "$pid" 2>/dev/null || true
    wait_gone "$pid"
  fi
  rm -f "$file"
}

cmd_down() {
  need_root
  # The capture first, on its own, so that tshark flushes its file.
  stop_pidfile "${STATE_DIR}/capture.pid"
  local ns pid
  for ns in "${ALL_NS[@]}"; do
    ns_exists "$ns" || continue
    # Every process inside a lab namespace was started by the lab.
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
      kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
      wait_gone "$pid"
    done
  done
  # Deleting a namespace destroys its veth ends and with them their peers.
  for ns in "${ALL_NS[@]}"; do
    ns_exists "$ns" && ip netns del "$ns"
  done
  rm -rf "${STATE_DIR}"
}

# Plain `up` and `down` refuse to pull the lab from under a holder of the
# lock (a `run`, a test program); those set LW_LAB_LOCK_HELD for their own use.
check_not_in_use() {
  [ -n "${LW_LAB_LOCK_HELD:-}" ] && return 0
  exec 8>"${LOCK_FILE}"
  if ! flock -n 8; then
    exec 8>&-
    die "the lab is in use by a 'run' or a test program (${LOCK_FILE}); try again when it ends"
  fi
  exec 8>&-
}

ac_index() {
  [[ "${1:-}" =~ ^[12]$ ]] || die "AC number must be 1 or 2, got '${1:-}'"
  echo $(($1 - 1))
}

ac_running() {
  local pid
  pid=$(cat "${STATE_DIR}/ac$1.pid" 2>/dev/null || true)
  [[ "$pid" =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null
}

cmd_ac_start() {
  local n=$1 i s
  i=$(ac_index "$n")
  ns_exists "${AC_NS[$i]}" || die "the lab is not up"
  ac_running "$n" && return 0
  local args=(-I "${AC_IF[$i]}" -C "${AC_NAME[$i]}" -X "${STATE_DIR}/ac${n}.pid")
  for s in ${AC_SERVICES[$i]}; do
    args+=(-S "$s")
  done
  # Without -F it opens its socket, writes the pid file and daemonises, so the
  # server answers as soon as this returns.
  ip netns exec "${AC_NS[$i]}" pppoe-server "${args[@]}" 9>&-
  local k
  for ((k = 0; k < 100; k++)); do
    ac_running "$n" && return 0
    sleep 0.05
  done
  die "pppoe-server ${n} did not start"
}

cmd_ac_stop() {
  local n=$1
  ac_index "$n" >/dev/null
  stop_pidfile "${STATE_DIR}/ac${n}.pid"
}

cmd_up() {
  need_root
  need_tools ip pppoe-server
  cmd_down
  mkdir -p "${STATE_DIR}"
  local ns
  for ns in "${ALL_NS[@]}"; do
    ip netns add "$ns"
    # Quiet segment: no IPv6 router solicitations or DAD frames in captures.
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
      net.ipv6.conf.default.disable_ipv6=1
    ip -n "$ns" link set lo up
  done
  ip -n "${BRIDGE_NS}" link add "${BRIDGE}" type bridge stp_state 0 forward_delay 0
  ip -n "${BRIDGE_NS}" link set "${BRIDGE}" up
  local port inner_ns inner_if inner_mac br_port br_mac
  for port in "${PORTS[@]}"; do
    read -r inner_ns inner_if inner_mac br_port br_mac <<<"$port"
    ip link add "$inner_if" netns "$inner_ns" address "$inner_mac" type veth \
      peer name "$br_port" netns "${BRIDGE_NS}" address "$br_mac"
    ip -n "${BRIDGE_NS}" link set "$br_port" master "${BRIDGE}" up
    ip -n "$inner_ns" link set "$inner_if" up
  done
  cmd_ac_start 1
  cmd_ac_start 2
  echo "lab: up; monitor namespace ${MON_NS}, interface ${MON_IF} (${MON_MAC})"
}

cmd_status() {
  local ns
  for ns in "${ALL_NS[@]}"; do
    if ns_exists "$ns"; then
      echo "== ${ns}"
      ip -n "$ns" -br link show | grep -v '^lo ' || true
      local pid
      for pid in $(ip netns pids "$ns" 2>/dev/null); do
        echo "   pid ${pid}: $(tr '\0' ' ' <"/proc/${pid}/cmdline" 2>/dev/null || true)"
      done
    else
      echo "== ${ns} (absent)"
    fi
  done
}

cmd_cable() {
  ns_exists "${BRIDGE_NS}" || die "the lab is not up"
  ip -n "${BRIDGE_NS}" link set "${MON_PORT}" "$1"
}

cmd_foreign_padi() {
  ns_exists "${STA_NS}" || die "the lab is not up"
  need_tools pppoe-discovery
  local args=(-I "${STA_IF}" -a 1 -t 1)
  if [ "${1:-}" = "--wait" ]; then
    ip netns exec "${STA_NS}" pppoe-discovery "${args[@]}" || true
  else
    ip netns exec "${STA_NS}" pppoe-discovery "${args[@]}" >/dev/null 2>&1 9>&- &
    echo "$!"
  fi
}

find_responder() {
  if [ -n "${LW_PADO_RESPONDER:-}" ]; then
    [ -x "${LW_PADO_RESPONDER}" ] || die "LW_PADO_RESPONDER=${LW_PADO_RESPONDER} is not executable"
    echo "${LW_PADO_RESPONDER}"
    return
  fi
  local f
  for f in "${ROOT_DIR}"/build/tests/pado_responder "${ROOT_DIR}"/build*/tests/pado_responder; do
    [ -x "$f" ] && { echo "$f"; return; }
  done
  die "pado_responder not built (cmake --build build --target pado_responder) and LW_PADO_RESPONDER unset"
}

# wait_ready LOG PATTERN TRIES NAME PID: true once a line of LOG matches
# PATTERN, looking TRIES times 50 ms apart; dies, showing the log, when the
# program (NAME, PID) ends first.
wait_ready() {
  local log=$1 pattern=$2 tries=$3 name=$4 pid=$5 k
  for ((k = 0; k < tries; k++)); do
    grep -q "$pattern" "$log" && return 0
    kill -0 "$pid" 2>/dev/null || {
      cat "$log" >&2
      die "$name exited"
    }
    sleep 0.05
  done
  return 1
}

cmd_responder() {
  local n=${1:-}
  [[ "$n" =~ ^[0-9]+$ ]] || die "responder needs a number of offers"
  shift
  ns_exists "${RESP_NS}" || die "the lab is not up"
  local bin log="${STATE_DIR}/responder.log"
  bin=$(find_responder)
  stop_pidfile "${STATE_DIR}/responder.pid"
  : >"$log"
  ip netns exec "${RESP_NS}" "$bin" -i "${RESP_IF}" -n "$n" "$@" >"$log" 2>&1 9>&- &
  echo "$!" >"${STATE_DIR}/responder.pid"
  # The responder prints "ready" once its socket is bound.
  wait_ready "$log" '^ready' 100 pado_responder "$!" || die "pado_responder did not become ready"
}

cmd_capture_start() {
  local file=${1:-}
  [ -n "$file" ] || die "capture-start needs a file"
  need_tools dumpcap
  ns_exists "${MON_NS}" || die "the lab is not up"
  stop_pidfile "${STATE_DIR}/capture.pid"
  local log="${STATE_DIR}/capture.log"
  : >"$log"
  # dumpcap is tshark's capture engine. Full frames (snap length 0 = 262144
  # bytes), discovery frames only.
  ip netns exec "${MON_NS}" dumpcap -q -i "${MON_IF}" -s 0 -f "ether proto 0x8863" \
    -w "$file" >"$log" 2>&1 9>&- &
  echo "$!" >"${STATE_DIR}/capture.pid"
  # "File:" is reported once the capture is open, filtered and being written;
  # "Capturing on" comes earlier, before frames are really taken.
  wait_ready "$log" '^File:' 200 dumpcap "$!" || die "dumpcap did not start capturing"
}

cmd_capture_stop() {
  [ -f "${STATE_DIR}/capture.pid" ] || return 0
  # dumpcap sees frames only when libpcap retires a block of its kernel ring
  # (after at most its 250 ms read timeout) and does not drain the ring when
  # told to stop, so the last frames need that long to reach the file.
  sleep 0.5
  stop_pidfile "${STATE_DIR}/capture.pid"
}

cmd_run() {
  [ "${1:-}" = "--" ] && shift
  (($#)) || die "run needs a command after --"
  local child=""
  # shellcheck disable=SC2317  # invoked through trap
  on_signal() {
    local sig=$1
    trap - INT TERM EXIT
    # A background child of a script ignores SIGINT, so it gets SIGTERM.
    if [ -n "$child" ]; then
      kill -TERM "$child" 2>/dev/null || true
      wait "$child" 2>/dev/null || true
    fi
    cmd_down || true
    [ "$sig" = INT ] && exit 130
    exit 143
  }
  # Another lab user (a test program, another run) finishes first.
  # Fd 9; everything the lab leaves running is started with 9>&- so that
  # the lock ends with this script.
  if [ -z "${LW_LAB_LOCK_HELD:-}" ]; then
    exec 9>"${LOCK_FILE}"
    flock 9
    export LW_LAB_LOCK_HELD=1
  fi
  trap 'cmd_down || true' EXIT
  trap 'on_signal INT' INT
  trap 'on_signal TERM' TERM
  cmd_up
  set -a
  eval "$(print_env)"
  set +a
  local rc=0
  # In the background so that a signal to this script is handled at once; the
  # explicit <&0 keeps the terminal as the command's input.
  "$@" <&0 &
  child=$!
  wait "$child" || rc=$?
  child=""
  return "$rc"
}

main() {
  local cmd=${1:-}
  (($#)) && shift
  case "$cmd" in
    up) need_root; check_not_in_use; cmd_up ;;
    down) need_root; check_not_in_use; cmd_down ;;
    status) cmd_status ;;
    env) print_env ;;
    run) need_root; cmd_run "$@" ;;
    ac-start) need_root; cmd_ac_start "${1:-}" ;;
    ac-stop) need_root; cmd_ac_stop "${1:-}" ;;
    cable-down) need_root; cmd_cable down ;;
    cable-up) need_root; cmd_cable up ;;
    foreign-padi) need_root; cmd_foreign_padi "$@" ;;
    responder) need_root; cmd_responder "$@" ;;
    responder-stop) need_root; stop_pidfile "${STATE_DIR}/responder.pid" ;;
    capture-start) need_root; cmd_capture_start "${1:-}" ;;
    capture-stop) need_root; cmd_capture_stop ;;
    -h | --help | help) usage ;;
    *) usage >&2; exit 2 ;;
  esac
}

main "$@"
