#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# kbd's kbdrate, off a console (standard input /dev/null, so that its ioctl
# never reaches the real keyboard), programs the keyboard controller through
# /dev/port under qport-run: 0xF3 to 0x60, a wait for the input buffer,
# the rate and delay byte. It never reads the acknowledgements, which stay
# in the output buffer. qportio show gives the rate and delay it set.
# Needs qport-run's /dev/port.
. "$(dirname "$0")/common.sh"
require_program kbdrate
kbdrate=$(PATH=$PATH:/usr/sbin:/sbin command -v kbdrate)

export QPORT_SIM_MACHINE=$scratch/pc
"$QPORT_RUN" --simulated "$kbdrate" -r 20 -d 500 </dev/null >"$scratch/out" 2>&1 \
  || fail "kbdrate failed: $(cat "$scratch/out")"
expect_in "$scratch/out" "Typematic Rate set to 20.0 cps (delay = 500 ms)"
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "  typematic-rate: 20.0 characters/s"
expect_in "$scratch/show" "  typematic-delay: 500 ms"
expect_in "$scratch/show" "  output-buffer: 0xfa 0xfa"

"$QPORT_RUN" --simulated "$kbdrate" -r 2 -d 1000 </dev/null >"$scratch/out" 2>&1 \
  || fail "kbdrate failed: $(cat "$scratch/out")"
expect_in "$scratch/out" "Typematic Rate set to 2.0 cps (delay = 1000 ms)"
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "  typematic-rate: 2.0 characters/s"
expect_in "$scratch/show" "  typematic-delay: 1000 ms"
echo "PASS: kbdrate sets the keyboard's typematic rate and delay through /dev/port"
