#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# kbd's kbdrate, off a console (standard input /dev/null, so that its ioctl
# never reaches the real keyboard), programs the keyboard controller through
# /dev/port under qport-run: 0xF3 to 0x60, a wait for the input buffer,
# the rate and delay byte. It never reads the acknowledgements, which stay
# in the output buffer. qportio show gives the rate and delay it set.
# Needs qport-run's /dev/port.
. "$(dirname "$0")/common.sh"
require_program kbdrate kbdrate

export QPORT_SIM_MACHINE=$scratch/pc
# kbdrate's -r and -d, what it says it set, and the rate qportio shows.
set_rate() {
  "$QPORT_RUN" --simulated "$kbdrate" -r "$1" -d "$2" </dev/null >"$scratch/out" 2>&1 \
    || fail "kbdrate failed: $(cat "$scratch/out")"
  expect_in "$scratch/out" "Typematic Rate set to $3 cps (delay = $2 ms)"
  sim_qportio show >"$scratch/show"
  expect_in "$scratch/show" "  typematic-rate: $3 characters/s"
  expect_in "$scratch/show" "  typematic-delay: $2 ms"
}
set_rate 20 500 20.0
expect_in "$scratch/show" "  output-buffer: 0xfa 0xfa"
set_rate 2 1000 2.0
echo "PASS: kbdrate sets the keyboard's typematic rate and delay through /dev/port"
