#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# LCDd, LCDproc's display server, with its hd44780 driver on the simulated
# parallel port's HD44780 display, once in each of the driver's parallel-port
# wirings: the display shows LCDd's start-up text, its server screen, a
# client's own text, and its goodbye when LCDd is stopped.
. "$(dirname "$0")/common.sh"

require_program LCDd
driver_directory=
for directory in /usr/lib/*/lcdproc /usr/lib/lcdproc; do
  [ -f "$directory/hd44780.so" ] && driver_directory=$directory
done
[ -n "$driver_directory" ] || {
  echo "SKIP: LCDd's hd44780 driver is not installed (tools/install-deps installs lcdproc-extra-drivers)"
  exit 77
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

lcdd_pid=
stop_lcdd() {
  [ -n "$lcdd_pid" ] || return 0
  kill "$lcdd_pid" 2>/dev/null || true
  wait "$lcdd_pid" 2>/dev/null || true
  lcdd_pid=
}
trap stop_lcdd EXIT

# Waits until the display (qportio show on the machine $1) shows every one
# of the texts that follow, while LCDd keeps running.
wait_for_display() {
  local machine=$1 shown=$scratch/shown
  shift
  for _ in $(seq 300); do
    QPORT_SIM_MACHINE=$machine sim_qportio show -n 0 >"$shown"
    local text missing=
    for text in "$@"; do
      grep -qF -- "$text" "$shown" || missing=$text
    done
    [ -z "$missing" ] && return 0
    if [ -n "$lcdd_pid" ] && ! kill -0 "$lcdd_pid" 2>/dev/null; then
      cat "$scratch/lcdd.log"
      fail "LCDd ended before the display showed: $missing"
    fi
    sleep 0.1
  done
  cat "$shown" "$scratch/lcdd.log"
  fail "the display never showed: $missing"
}

# Runs LCDd on a display of size $1 wired as $2, reached at the TCP port
# $3, on the machine $4, with a configuration of its own, as Debian ships
# none for this driver. Started as root, LCDd changes to nobody once its
# driver is set up, and drives the display on from there.
start_lcdd() {
  local size=$1 wiring=$2 port=$3 machine=$4 config=$scratch/LCDd-$2.conf
  cat >"$config" <<EOF
[server]
DriverPath=$driver_directory/
Driver=hd44780
Bind=127.0.0.1
Port=$port
ReportLevel=3
ReportToSyslog=no
Foreground=yes
ServerScreen=on

[hd44780]
ConnectionType=$wiring
Port=0x378
Size=$size
Keypad=no
Backlight=no
EOF
  # Only LCDd plugs the display in: another process naming it would plug in
  # a new one.
  QPORT_SIM_MACHINE=$machine QPORT_SIM_DEVICE=lcd:size=$size,wiring=$wiring \
    "$QPORT_RUN" LCDd -c "$config" -f >"$scratch/lcdd.log" 2>&1 &
  lcdd_pid=$!
}

# 4bit, 20x4: the server screen whole, then a client's screen.
machine=$scratch/pc-4bit
port=$(free_port)
start_lcdd 20x4 4bit "$port" "$machine"
wait_for_display "$machine" "line1: HD44780 20x4" "line2: LPT 0x378" "mode: 4-bit"
wait_for_display "$machine" "LCDproc Server" "line2: Clients: 0" "line3: Screens: 0"
exec 3<>"/dev/tcp/127.0.0.1/$port"
for request in hello "screen_add qport" "screen_set qport -priority foreground" \
  "widget_add qport greeting string" 'widget_set qport greeting 1 2 "qport was here"'; do
  echo "$request" >&3
  # LCDd also tells, unasked, when the client's screen comes and goes.
  reply=
  while [ -z "$reply" ] || [[ $reply == listen* ]] || [[ $reply == ignore* ]]; do
    read -r -t 10 reply <&3 || fail "LCDd did not answer $request"
  done
  case $reply in connect* | success) ;; *) fail "LCDd answered $request with: $reply" ;; esac
done
wait_for_display "$machine" "line2: qport was here"
exec 3>&-
stop_lcdd
wait_for_display "$machine" "line2:   Thanks for using" "line3:   LCDproc & Linux!"

# winamp, 16x2: eight data lines, the control lines through the port's
# inversions.
machine=$scratch/pc-winamp
start_lcdd 16x2 winamp "$(free_port)" "$machine"
wait_for_display "$machine" "line1: HD44780 16x2" "mode: 8-bit" "wiring: winamp"
wait_for_display "$machine" "line2: Cli: 0  Scr: 0"
stop_lcdd
wait_for_display "$machine" "line1: Thanks for using" "line2: LCDproc & Linux!"
echo "PASS: LCDd drove the display in both wirings"
