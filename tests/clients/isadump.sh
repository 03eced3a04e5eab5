#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# lm-sensors' isadump reads the W83627HF's hardware monitor through its
# address and data ports (0x295, 0x296) under qport-run: the chip ID 0x21
# at 0x58, the vendor ID's byte at 0x4F that the bank select chooses, and a
# temperature qportio set in degrees.
. "$(dirname "$0")/common.sh"
require_program isadump isadump

export QPORT_SIM_MACHINE=$scratch/pc
# The row of registers 0xN0-0xNf from isadump's table.
row_of() { awk -v row="$1:" '$1 == row' "$scratch/dump"; }

sim_qportio set hwmon temp1=52
"$QPORT_RUN" --simulated "$isadump" -y 0x295 0x296 >"$scratch/dump"
# 0x58: the chip ID; 0x4e: bank select with bit 7 set, so 0x4f is 0x5c.
[ "$(row_of 50 | awk '{ print $10 }')" = 21 ] || fail "no chip ID 0x21 at 0x58: $(row_of 50)"
[ "$(row_of 40 | awk '{ print $16, $17 }')" = "80 5c" ] || fail "vendor high byte: $(row_of 40)"
[ "$(row_of 20 | awk '{ print $9 }')" = 34 ] || fail "temp1 is not 52 °C (0x34): $(row_of 20)"

# Bank select bit 7 cleared: the vendor ID's low byte.
sim_qportio write 0x295 0x4e
sim_qportio write 0x296 0x00
"$QPORT_RUN" --simulated "$isadump" -y 0x295 0x296 >"$scratch/dump"
[ "$(row_of 40 | awk '{ print $16, $17 }')" = "00 a3" ] || fail "vendor low byte: $(row_of 40)"
echo "PASS: isadump reads the hardware monitor's chip and vendor IDs"
