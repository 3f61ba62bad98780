#!/usr/bin/env bash
# The Wayland desktop lab: real Wayland desktop parts in a private session
# bus, beside the X11 lab (desktop_lab.sh, whose helpers it uses):
#
#   sway        the compositor, headless (no screen, no input devices,
#               software rendering); it refuses to run as root, so it runs
#               as an ordinary account of the lab's own
#   waybar      a panel whose tray module hosts StatusNotifierItems: it owns
#               org.kde.StatusNotifierWatcher on the session bus
#   dunst       the notification server, drawing on the compositor
#   pulseaudio  a sound server with a null sink, as in the X11 lab
#   at-spi      the accessibility bus
#
# The desktop parts run as the lab account; the program under test may run
# as root in the network lab's monitor namespace (it needs the capture), as
# in the X11 scenarios: the session bus accepts every user, and the
# compositor's socket is given by its full path in WAYLAND_DISPLAY, so root
# keeps its own XDG_RUNTIME_DIR (PulseAudio's socket lives there).
#
# `run -- CMD` builds it, runs CMD inside and always tears it down. CMD sees
# WAYLAND_DISPLAY (a full path), SWAYSOCK, DBUS_SESSION_BUS_ADDRESS,
# PULSE_SERVER, XDG_RUNTIME_DIR, LW_DESKTOP_LAB_STATE, LW_DESKTOP_LAB_SCRIPT
# and LW_WAYLAND_LAB_USER. It shares the X11 lab's lock: one desktop lab runs
# at a time. Exit status 77 means the lab could not start (it says why).
set -euo pipefail

WAYLAND_LAB_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=tests/desktop/desktop_lab.sh
. "${WAYLAND_LAB_DIR}/desktop_lab.sh"
SCRIPT="${WAYLAND_LAB_DIR}/$(basename "${BASH_SOURCE[0]}")"
LAB_USER=lwu25way
PANEL_HEIGHT=28

usage() {
  echo "usage: $(basename "$0") run -- CMD..." >&2
}

# Sets AS_USER to the command prefix that runs a program as the lab account
# with the Wayland session's environment. A prefix, not a function: start_bg
# then records the program's own pid (every part execs the next).
as_user_prefix() {
  AS_USER=(setpriv --reuid="${LAB_USER}" --regid="${LAB_USER}" --init-groups
    env -i PATH=/usr/bin:/bin HOME="${STATE}/home" LANG=C.UTF-8
    XDG_RUNTIME_DIR="${STATE}/user-run" XDG_CONFIG_HOME="${STATE}/home/config"
    DBUS_SESSION_BUS_ADDRESS="${DBUS_SESSION_BUS_ADDRESS}")
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then AS_USER+=(WAYLAND_DISPLAY="${WAYLAND_DISPLAY}"); fi
}

wayland_socket() {
  find "${STATE}/user-run" -maxdepth 1 -type s -name 'wayland-*' | head -n 1 | grep .
}

wayland_teardown() {
  local name
  for name in waybar dunst sway pulseaudio atspi; do
    stop_pid_file "${STATE}/${name}.pid"
  done
  userdel "${LAB_USER}" 2>/dev/null || true
  remove_state "wayland lab"
}

wayland_inner() {
  STATE=$(mktemp -d /tmp/lwwaylandlab.XXXXXX)
  chmod 755 "${STATE}"
  export LW_DESKTOP_LAB_STATE=${STATE}
  export LW_DESKTOP_LAB_SCRIPT=${SCRIPT}
  export LW_WAYLAND_LAB_USER=${LAB_USER}
  trap wayland_teardown EXIT
  trap 'exit 130' INT TERM

  # The lab's own account (left over by a killed run, it is reused).
  id -u "${LAB_USER}" >/dev/null 2>&1 ||
    useradd --system --no-create-home --shell /usr/sbin/nologin "${LAB_USER}" ||
    skip "cannot make the account ${LAB_USER}"
  mkdir -p "${STATE}/home/config" "${STATE}/user-run"
  chmod 700 "${STATE}/user-run"
  chown -R "${LAB_USER}:" "${STATE}/home" "${STATE}/user-run"

  # One headless output of 1024x768, no input devices, pixman rendering. A
  # window activated with a valid token gets the focus, as on GNOME and KDE
  # (sway's own default only marks it urgent).
  cat >"${STATE}/home/sway.conf" <<EOF2
output HEADLESS-1 resolution 1024x768 position 0 0
focus_follows_mouse no
focus_on_window_activation focus
EOF2
  unset WAYLAND_DISPLAY DISPLAY
  as_user_prefix
  start_bg sway "${AS_USER[@]}" WLR_BACKENDS=headless WLR_RENDERER=pixman \
    WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=1 sway -c "${STATE}/home/sway.conf"
  wait_for wayland_socket || skip "sway did not start: $(tail -3 "${STATE}/sway.log")"
  WAYLAND_DISPLAY=$(wayland_socket)
  export WAYLAND_DISPLAY
  as_user_prefix
  local ipc
  for _ in $(seq 50); do
    ipc=$(find "${STATE}/user-run" -maxdepth 1 -type s -name 'sway-ipc.*' | head -n 1)
    [ -n "${ipc}" ] && break
    sleep 0.1
  done
  [ -n "${ipc}" ] || skip "sway opened no IPC socket"
  export SWAYSOCK=${ipc}
  wait_for swaymsg -t get_outputs || skip "sway does not answer on ${SWAYSOCK}"

  sound_start
  atspi_start

  dunst_start "${AS_USER[@]}"

  # The panel: only the tray, on the right of a dark bar at the top.
  mkdir -p "${STATE}/home/config/waybar"
  cat >"${STATE}/home/config/waybar/config" <<EOF2
{ "layer": "top", "position": "top", "height": ${PANEL_HEIGHT},
  "modules-right": ["tray"], "tray": { "icon-size": 22, "spacing": 4 } }
EOF2
  cat >"${STATE}/home/config/waybar/style.css" <<EOF2
* { font-family: "DejaVu Sans"; font-size: 12px; border: none; border-radius: 0; }
window#waybar { background: #303030; color: #ffffff; }
EOF2
  chown -R "${LAB_USER}:" "${STATE}/home"
  start_bg waybar "${AS_USER[@]}" waybar
  wait_for watcher_present || skip "waybar hosts no tray: $(tail -3 "${STATE}/waybar.log")"
  export LW_WAYLAND_PANEL_HEIGHT=${PANEL_HEIGHT}

  run_command "$@"
}

# Root, for the lab's account, and the tools the Wayland lab needs.
wayland_check_machine() {
  [ "$(id -u)" -eq 0 ] || skip "the lab makes an account of its own and needs root"
  need_tools dbus-run-session sway swaymsg waybar grim dunst dunstctl pulseaudio pactl parec \
    setpriv useradd convert
}

wayland_main() {
  local command=${1:-}
  case "${command}" in
    run)
      shift
      run_lab wayland_check_machine "$@"
      ;;
    inner)
      shift
      wayland_inner "$@"
      ;;
    *)
      usage
      exit 2
      ;;
  esac
}

wayland_main "$@"
