#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# urjtag's detect through a Xilinx DLC5 cable on the simulated parallel port
# names the part behind it, through port instructions and through ppdev.
. "$(dirname "$0")/common.sh"
require_program jtag

printf 'cable DLC5 parallel 0x378\ndetect\n' >"$scratch/detect.cmd"
printf 'cable DLC5 ppdev /dev/parport0\ndetect\n' >"$scratch/detect-ppdev.cmd"

# Debian 12's urjtag crashes once it has named a part that has a data file:
# it reads the file through its BSDL parser first, which crashes on any
# file (natively too: "bsdl test FILE" on any part file or BSDL file). So a
# run may end by SIGSEGV or SIGBUS after the "Filename:" line, never before
# (with the library built with AddressSanitizer, whose runtime then reports
# the crash, by status 1).
detect() {
  local status=0
  timeout 60 "$QPORT_RUN" jtag -q "$scratch/${2:-detect.cmd}" >"$scratch/$1" 2>&1 || status=$?
  case $status in
    0) ;;
    124) fail "jtag detect did not end within 60 s: $(cat "$scratch/$1")" ;;
    *) expect_in "$scratch/$1" "Filename:" ;;
  esac
}

QPORT_SIM_DEVICE=jtag detect xc3s200
expect_in "$scratch/xc3s200" "IR length: 6"
expect_in "$scratch/xc3s200" "Chain length: 1"
expect_in "$scratch/xc3s200" "Device Id: 00000001010000010100000010010011 (0x01414093)"
expect_in "$scratch/xc3s200" "Part(0):      xc3s200 (0x1414)"

# Another part, by its IDCODE.
QPORT_SIM_DEVICE=jtag:idcode=0x0141c093 detect xc3s400
expect_in "$scratch/xc3s400" "Part(0):      xc3s400 (0x141C)"

# The same cable through /dev/parport0.
QPORT_SIM_DEVICE=jtag detect ppdev detect-ppdev.cmd
expect_in "$scratch/ppdev" "Initializing ppdev port /dev/parport0"
expect_in "$scratch/ppdev" "Part(0):      xc3s200 (0x1414)"

echo "PASS: urjtag detects the simulated XC3S200"
