#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# util-linux's hwclock with --directisa makes its own port instructions to
# the real-time clock at 0x70: under qport-run it reads the host's UTC time,
# and a time it sets is read back by a later run on the same shared
# machine. --noadjfile: /etc/adjtime is neither read nor written.
. "$(dirname "$0")/common.sh"
require_program hwclock hwclock

export QPORT_SIM_MACHINE=$scratch/pc
run_hwclock() {
  TZ=UTC "$QPORT_RUN" --simulated "$hwclock" --directisa --utc --noadjfile "$@"
}
# hwclock prints "2026-12-09 14:46:52.411894+00:00": the clock's time when
# it started, whatever it waited for the clock's tick.
seconds_of() { date -u -d "$1" +%s; }
expect_between() {
  local what=$1 shown=$2 low=$3 high=$4
  [ "$shown" -ge "$low" ] && [ "$shown" -le "$high" ] \
    || fail "$what: $(date -u -d "@$shown" +%FT%T), expected $(date -u -d "@$low" +%FT%T) to $(date -u -d "@$high" +%FT%T)"
}

# 1. It finds the clock's tick through UIP and reads the host's UTC time.
before=$(date -u +%s)
run_hwclock -r --verbose >"$scratch/read" 2>&1 || { cat "$scratch/read"; fail "hwclock -r failed"; }
after=$(date -u +%s)
expect_in "$scratch/read" "Using direct ISA access to the clock"
expect_in "$scratch/read" "...got clock tick"
expect_between "hwclock -r" "$(seconds_of "$(tail -1 "$scratch/read")")" $((before - 1)) $((after + 1))

# 2. --set holds the clock with SET and the divider, writes the registers
# and lets the clock go; the next run reads that time, counted on since.
set_at=$(date -u +%s)
run_hwclock --set --date='2030-01-02 03:04:05' >"$scratch/set" 2>&1 \
  || { cat "$scratch/set"; fail "hwclock --set failed"; }
run_hwclock -r >"$scratch/read-set" 2>&1 || { cat "$scratch/read-set"; fail "hwclock -r failed"; }
elapsed=$(($(date -u +%s) - set_at))
set_time=$(seconds_of '2030-01-02 03:04:05 UTC')
expect_between "hwclock -r after --set" "$(seconds_of "$(tail -1 "$scratch/read-set")")" \
  $((set_time - 1)) $((set_time + elapsed + 1))
sim_qportio show -n 0 >"$scratch/show"
expect_in "$scratch/show" "rtc: mc146818-rtc at 0x0070-0x0073"
expect_in "$scratch/show" "  time: 2030-01-02T03:0"
expect_in "$scratch/show" "  clock: running"
expect_in "$scratch/show" "  b: 0x02"

# 3. No root needed: qport-run answers hwclock's iopl(3) (a run as nobody,
# on a machine of its own, where nobody can reach the build).
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null \
  && setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$QPORT_RUN"; then
  setpriv --reuid=65534 --regid=65534 --clear-groups env -u QPORT_SIM_MACHINE TZ=UTC \
    "$QPORT_RUN" --simulated "$hwclock" --directisa --utc --noadjfile -r >"$scratch/nobody" 2>&1 \
    || { cat "$scratch/nobody"; fail "hwclock -r as nobody failed"; }
  expect_in "$scratch/nobody" "+00:00"
fi
echo "PASS: hwclock reads the host's time and sets the clock"
