#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The writes that reboot a real PC, made under qport-run: 0xFE to the
# keyboard controller's command port (by Debian's outb) and Linux's 0xCF9
# sequence (a program built here). The simulated PC resets, says so on
# standard error, and the program goes on; qportio show counts the resets
# and names the last cause; the PC's own devices are back at power-on.
. "$(dirname "$0")/common.sh"
require_program outb
outb=$(command -v outb)
command -v cc >/dev/null || { echo "SKIP: no C compiler"; exit 77; }

export QPORT_SIM_MACHINE=$scratch/pc
sim_qportio write 0x80 0x42
"$QPORT_RUN" --simulated "$outb" 0x64 0xfe 2>"$scratch/stderr" || fail "outb failed: $(cat "$scratch/stderr")"
expect_in "$scratch/stderr" "qport: the simulated PC was reset (keyboard controller: 0xfe to 0x64), reset 1; the program goes on"
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "resets by programs: 1, the last by keyboard controller: 0xfe to 0x64"
expect_in "$scratch/show" "  code: none"

cc -o "$scratch/reset_cf9" "$(dirname "$0")/reset_cf9.c"
"$QPORT_RUN" --simulated "$scratch/reset_cf9" >"$scratch/out" 2>"$scratch/stderr" \
  || fail "reset_cf9 failed: $(cat "$scratch/stderr")"
expect_in "$scratch/out" "still running after the reset"
expect_in "$scratch/stderr" "(0xcf9: hard reset), reset 2"
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "resets by programs: 2, the last by 0xcf9: hard reset"

sim_qportio reset
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "resets by programs: none"
echo "PASS: 0xFE to 0x64 and 0xCF9 reset the simulated PC and the programs go on"
