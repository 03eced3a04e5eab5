#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# flashrom writes an image into the simulated 128 KiB SPI flash, reads it
# back the same, and erases it to all ones; qportio's memory commands see
# the same contents. Each port instruction flashrom makes is a trap, so
# this takes minutes: it is labelled long.
. "$(dirname "$0")/common.sh"
require_program flashrom flashrom

export QPORT_SIM_MACHINE=$scratch/pc
export QPORT_SIM_DEVICE=spi-flash:chip=w25x10,wiring=wiggler
run_flashrom() {
  "$QPORT_RUN" --simulated "$flashrom" -p rayer_spi:type=wiggler -c W25X10 "$@"
}

head -c 131072 /dev/urandom >"$scratch/image"
run_flashrom -w "$scratch/image" >"$scratch/write" 2>&1 || fail "flashrom -w: $(cat "$scratch/write")"
expect_in "$scratch/write" "VERIFIED."
cmp "$scratch/pc.memory-lpt1-w25x10" "$scratch/image" || fail "the memory file is not the image"

run_flashrom -r "$scratch/read" >"$scratch/read-log" 2>&1 || fail "flashrom -r: $(cat "$scratch/read-log")"
cmp "$scratch/read" "$scratch/image" || fail "what flashrom read back is not what it wrote"

run_flashrom -E >"$scratch/erase" 2>&1 || fail "flashrom -E: $(cat "$scratch/erase")"
expect_in "$scratch/erase" "Erase/write done."
sim_qportio memory save lpt1-w25x10 "$scratch/erased"
[ "$(tr -d '\377' <"$scratch/erased" | wc -c)" -eq 0 ] || fail "erased bytes are not all 0xFF"

echo "PASS: flashrom writes, reads back and erases the simulated W25X10"
