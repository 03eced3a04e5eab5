#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# A libieee1284 program finds the simulated PC's parallel ports the way the
# library does on Linux (/proc/sys/dev/parport, then /dev/parportN), opens
# the first through ppdev and prints "hello" on the printer there.
. "$(dirname "$0")/common.sh"
[ -e /usr/include/ieee1284.h ] || {
  echo "SKIP: libieee1284-3-dev is not installed (tools/install-deps installs it)"
  exit 77
}
require_program cc

cc -o "$scratch/ieee1284_hello" "$(dirname "$0")/ieee1284_hello.c" -lieee1284

QPORT_SIM_DEVICE=printer QPORT_SIM_PRINTER_OUTPUT=$scratch/paper \
  "$QPORT_RUN" --simulated "$scratch/ieee1284_hello" >"$scratch/out" 2>&1 ||
  fail "ieee1284_hello: $(cat "$scratch/out")"
expect_in "$scratch/out" "ports: 2"
expect_in "$scratch/out" "port parport0 base 0x378"
expect_in "$scratch/out" "port parport1 base 0xd010"
# ppdev, not port instructions after ioperm(), carried the bytes.
expect_in "$scratch/out" "filename /dev/parport0"
expect_in "$scratch/out" "capabilities raw"
expect_in "$scratch/out" "written 5"
[ "$(cat "$scratch/paper")" = hello ] || fail "the printer printed: $(cat "$scratch/paper")"
echo "PASS: libieee1284 prints hello through /dev/parport0"
