#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# coreboot's ectool talks to the simulated PC's ACPI embedded controller at
# 0x62/0x66 under qport-run: it dumps the memory qportio preset, a byte it
# writes is in the next dump, and its query takes the event qportio queued.
. "$(dirname "$0")/common.sh"
require_program ectool ectool

export QPORT_SIM_MACHINE=$scratch/pc
run_ectool() {
  "$QPORT_RUN" --simulated "$ectool" "$@"
}

sim_qportio set ec memory-0x10=0x42 memory-0xff=0x99 event=0x66
run_ectool -d >"$scratch/dump"
expect_in "$scratch/dump" "10: 42 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
expect_in "$scratch/dump" "f0: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 99"

run_ectool -w 0x20 -z 0x5a >"$scratch/write"
expect_in "$scratch/write" "Writing ec 20 = 5a"
run_ectool -d >"$scratch/dump"
expect_in "$scratch/dump" "20: 5a 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "  memory-0x20: 5a 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
expect_in "$scratch/show" "  events: 0x66"

run_ectool -q >"$scratch/query"
expect_in "$scratch/query" "EC QUERY 66"
run_ectool -q >"$scratch/query"
expect_in "$scratch/query" "EC QUERY 00"

# A value the controller cannot take is refused with its range.
if sim_qportio set ec event=0 2>"$scratch/refused"; then fail "event 0 was taken"; fi
expect_in "$scratch/refused" "refused: it takes an event number from 1 to 0xff (0 means none)"
echo "PASS: ectool dumps, writes and queries the embedded controller"
