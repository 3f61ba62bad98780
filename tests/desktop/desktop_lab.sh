#!/usr/bin/env bash
# The desktop lab: real desktop parts for the tray icon, notifications and
# sounds, in a private session bus (dbus-run-session with session-bus.conf,
# which listens on a socket file so that the network lab's namespaces reach it):
#
#   Xvfb        a display of its own (the first free number)
#   openbox     the window manager
#   trayer      a real XEmbed system tray; with LW_DESKTOP_LAB_TRAY=sni a
#               StatusNotifier host instead (gtk-sni-tray-standalone, which
#               owns org.kde.StatusNotifierWatcher), as KDE Plasma hosts icons
#   dunst       a real notification server (org.freedesktop.Notifications)
#   pulseaudio  a sound server whose default sink is a null sink; its
#               monitor source (lwsink.monitor) records what was played
#   at-spi      the accessibility bus
#
# Every socket of the lab is a file (the X display's, the session bus's,
# PulseAudio's, the accessibility bus's), so a program run in another network
# namespace (`ip netns exec`) with the lab's environment reaches them all.
#
# `run -- CMD` builds it, runs CMD inside and always tears it down. CMD sees
# DISPLAY, DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER, XDG_RUNTIME_DIR,
# LW_DESKTOP_LAB_STATE and LW_DESKTOP_LAB_SCRIPT. Only
# one lab runs at a time (lock file); a second run waits. Exit status 77 means
# the lab could not start (the reason is printed).
set -euo pipefail

LAB_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SCRIPT="${LAB_DIR}/$(basename "${BASH_SOURCE[0]}")"
LOCK_FILE=/tmp/lwdesktoplab.lock
SINK=lwsink
SKIP=77

usage() {
  cat <<EOF2
usage: $(basename "$0") COMMAND

  run -- CMD...   start the lab, run CMD in it, always tear down; exits with
                  CMD's status, or 77 when the lab cannot start
  tray-stop       (inside the lab) stop trayer
  tray-start      (inside the lab) start trayer again and wait for it
EOF2
}

skip() {
  echo "desktop lab: cannot start: $*" >&2
  exit "${SKIP}"
}

need_tools() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 || skip "'$t' is missing; run scripts/setup"
  done
}

# Waits until CMD succeeds, at most about ten seconds.
wait_for() {
  local _
  for _ in $(seq 100); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# True once a window manager has announced itself on the root window (xprop
# also exits 0 when the property is missing).
wm_running() {
  xprop -root _NET_SUPPORTING_WM_CHECK | grep 'window id' >/dev/null
}

wm_start() {
  start_bg openbox openbox --sm-disable
  wait_for wm_running
}

# grep reads all its input (no -q): with pipefail, a grep that quits at the
# first match makes a long xwininfo listing die of SIGPIPE, and the pipeline
# fail although the panel is there.
tray_window() {
  xwininfo -root -tree | grep '"panel"' >/dev/null
}

start_bg() {
  # name, command...: starts the command with its output in the state folder
  # and records its pid.
  local name=$1
  shift
  "$@" >"${STATE}/${name}.log" 2>&1 &
  echo $! >"${STATE}/${name}.pid"
}

stop_pid_file() {
  local file=$1 pid
  [ -f "${file}" ] || return 0
  pid=$(cat "${file}")
  kill "${pid}" 2>/dev/null || true
  local _
  for _ in $(seq 50); do
    kill -0 "${pid}" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "${pid}" 2>/dev/null || true
  rm -f "${file}"
}

watcher_present() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.GetNameOwner string:org.kde.StatusNotifierWatcher
}

tray_start() {
  : "${LW_DESKTOP_LAB_STATE:?not inside the desktop lab}"
  STATE=${LW_DESKTOP_LAB_STATE}
  if [ "${LW_DESKTOP_LAB_TRAY:-}" = sni ]; then
    # A bar along the top with its own watcher; Qt then registers its icon
    # as a StatusNotifierItem.
    start_bg trayer gtk-sni-tray-standalone --top --end --size 32 --watcher --color '#303030'
    wait_for watcher_present
    return
  fi
  # A tray that was just stopped may still hold the tray selection for a
  # moment, and a new trayer then gives up: try again a few times.
  local attempt
  for attempt in 1 2 3; do
    start_bg trayer trayer --edge top --align right --widthtype request --height 24 \
      --SetDockType true --SetPartialStrut true --transparent false --expand true
    if wait_for tray_window; then return 0; fi
    echo "desktop lab: trayer did not start (attempt ${attempt}): $(tail -n 3 "${STATE}/trayer.log" 2>/dev/null)" >&2
    stop_pid_file "${STATE}/trayer.pid"
  done
  return 1
}

tray_stop() {
  : "${LW_DESKTOP_LAB_STATE:?not inside the desktop lab}"
  stop_pid_file "${LW_DESKTOP_LAB_STATE}/trayer.pid"
}

teardown() {
  local name
  # In reverse order of start; dbus-run-session ends the bus itself.
  for name in trayer dunst openbox pulseaudio atspi xvfb; do
    stop_pid_file "${STATE}/${name}.pid"
  done
  remove_state "desktop lab"
}

# Removes the state folder, or keeps it and says where with KEEP_STATE set.
remove_state() {
  if [ -n "${KEEP_STATE:-}" ]; then
    echo "$1: logs kept in ${STATE}" >&2
  else
    rm -rf "${STATE}"
  fi
}

# Sound: a private PulseAudio whose only sink is a null sink, its socket in
# XDG_RUNTIME_DIR (made here).
sound_start() {
  export XDG_RUNTIME_DIR=${STATE}/run
  mkdir -m 700 "${XDG_RUNTIME_DIR}"
  export PULSE_SERVER="unix:${XDG_RUNTIME_DIR}/pulse-native"
  export PULSE_STATE_PATH=${STATE}/pulse-state
  start_bg pulseaudio pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit \
    --use-pid-file=no --system=false -n \
    --load="module-native-protocol-unix auth-anonymous=1 socket=${XDG_RUNTIME_DIR}/pulse-native" \
    --load="module-null-sink sink_name=${SINK} rate=44100 channels=2"
  wait_for pactl info || skip "pulseaudio did not start: $(tail -3 "${STATE}/pulseaudio.log")"
  pactl set-default-sink "${SINK}"
  export LW_DESKTOP_LAB_SINK=${SINK}
}

# The accessibility bus, for tests that drive windows as a screen reader does.
atspi_start() {
  local launcher=/usr/libexec/at-spi-bus-launcher
  if [ -x "${launcher}" ]; then
    start_bg atspi "${launcher}" --launch-immediately
  fi
}

# The notification server, started with the given command prefix (none, or
# one that runs it as another account). Notifications stay up until closed,
# so that screenshots show them; the urgency is part of the text.
# shellcheck disable=SC2120 # the Wayland lab passes its account's prefix
dunst_start() {
  cat >"${STATE}/dunstrc" <<EOF2
[global]
    markup = full
    font = DejaVu Sans 10
    geometry = "300x5-10+40"
    origin = top-right
    offset = 10x40
[urgency_low]
    timeout = 0
[urgency_normal]
    timeout = 0
[urgency_critical]
    timeout = 0
# The urgency dunst read, in the text it shows and keeps in its history.
[lw_low]
    msg_urgency = low
    format = "%s (LOW)\n%b"
[lw_normal]
    msg_urgency = normal
    format = "%s (NORMAL)\n%b"
[lw_critical]
    msg_urgency = critical
    format = "%s (CRITICAL)\n%b"
EOF2
  start_bg dunst "$@" dunst -config "${STATE}/dunstrc"
  # Asks the bus for the name's owner, which never starts a server of its own.
  wait_for dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.GetNameOwner string:org.freedesktop.Notifications ||
    skip "dunst did not start: $(tail -3 "${STATE}/dunst.log")"
}

# Runs CMD and returns its status, whatever set -e would make of it.
run_command() {
  local status=0
  "$@" || status=$?
  return "${status}"
}

# The `run` command of the lab scripts: `run [--] CMD...`. Calls CHECK (a
# function that skips when this machine cannot hold the lab), takes the lock
# (a second run waits) and runs "$SCRIPT inner CMD..." in a private session
# bus (session-bus.conf).
run_lab() {
  local check=$1
  shift
  [ "${1:-}" = "--" ] && shift
  [ $# -gt 0 ] || {
    usage
    exit 2
  }
  "${check}"
  exec 9>"${LOCK_FILE}"
  flock 9
  exec dbus-run-session --config-file="${LAB_DIR}/session-bus.conf" -- \
    "${SCRIPT}" inner "$@"
}

# Runs inside dbus-run-session: builds the lab, runs the command, tears down.
inner() {
  STATE=$(mktemp -d /tmp/lwdesktoplab.XXXXXX)
  export LW_DESKTOP_LAB_STATE=${STATE}
  export LW_DESKTOP_LAB_SCRIPT=${SCRIPT}
  trap teardown EXIT
  trap 'exit 130' INT TERM

  # A display of its own: Xvfb writes the free number it took to fd 3. It
  # must not reset when its last client leaves: while it resets it refuses
  # connections, and the window manager, started right after xdpyinfo
  # below left, would now and then fail to open the display.
  exec 3>"${STATE}/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"${STATE}/xvfb.log" 2>&1 &
  echo $! >"${STATE}/xvfb.pid"
  exec 3>&-
  wait_for test -s "${STATE}/display" || skip "Xvfb did not start: $(tail -3 "${STATE}/xvfb.log")"
  DISPLAY=":$(tr -d '\n' <"${STATE}/display")"
  export DISPLAY
  wait_for xdpyinfo || skip "display ${DISPLAY} does not answer"

  wm_start || skip "openbox did not start: $(tail -3 "${STATE}/openbox.log")"

  sound_start
  atspi_start
  dunst_start

  tray_start || skip "trayer did not start: $(tail -3 "${STATE}/trayer.log")"

  run_command "$@"
}

# The tools the X11 lab needs.
check_machine() {
  if [ "${LW_DESKTOP_LAB_TRAY:-}" = sni ]; then need_tools gtk-sni-tray-standalone; fi
  need_tools dbus-run-session Xvfb openbox trayer dunst dunstctl pulseaudio pactl parec \
    xdotool xwininfo xprop xdpyinfo import
}

main() {
  local command=${1:-}
  case "${command}" in
    run)
      shift
      run_lab check_machine "$@"
      ;;
    inner)
      shift
      inner "$@"
      ;;
    tray-stop) tray_stop ;;
    tray-start) tray_start ;;
    *)
      usage
      exit 2
      ;;
  esac
}

# Sourced by the Wayland lab for its helpers: no command then.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
