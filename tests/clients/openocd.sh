#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# openocd's parport driver scans the chain through the simulated DLC5 and
# through a Wiggler, and finds the XC3S200 declared on it.
. "$(dirname "$0")/common.sh"
require_program openocd

export QPORT_SIM_MACHINE=$scratch/pc
scan() { # NAME INTERFACE-FILE PERIPHERAL
  QPORT_SIM_DEVICE=$3 timeout 60 "$QPORT_RUN" --simulated openocd -f "$2" \
    -c "transport select jtag" \
    -c "jtag newtap xc3s200 tap -irlen 6 -expected-id 0x01414093" \
    -c "init" -c "scan_chain" -c "shutdown" >"$scratch/$1" 2>&1 || true
  expect_in "$scratch/$1" "xc3s200.tap"
  expect_in "$scratch/$1" "0x01414093"
  expect_in "$scratch/$1" "JTAG tap: xc3s200.tap tap/device found: 0x01414093"
}
scan dlc5 interface/parport_dlc5.cfg jtag
scan wiggler interface/parport.cfg jtag:cable=wiggler

echo "PASS: openocd scans the XC3S200 through the DLC5 and the Wiggler"
