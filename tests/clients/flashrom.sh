#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# flashrom's rayer_spi programmer finds the simulated SPI flash on every
# cable it knows, each wired as flashrom wires it.
. "$(dirname "$0")/common.sh"
require_program flashrom flashrom

export QPORT_SIM_MACHINE=$scratch/pc
for wiring in rayer xilinx byteblastermv stk200 wiggler spi_tt; do
  QPORT_SIM_DEVICE=spi-flash:wiring=$wiring timeout 120 "$QPORT_RUN" --simulated \
    "$flashrom" -p "rayer_spi:type=$wiring" >"$scratch/probe-$wiring" 2>&1 || true
  expect_in "$scratch/probe-$wiring" 'Found Winbond flash chip "W25Q80.V" (1024 kB, SPI)'
done

# The other chips, on the default cable.
QPORT_SIM_DEVICE=spi-flash:chip=w25x10 "$QPORT_RUN" --simulated "$flashrom" -p rayer_spi \
  >"$scratch/probe-w25x10" 2>&1 || true
expect_in "$scratch/probe-w25x10" 'Found Winbond flash chip "W25X10" (128 kB, SPI)'
QPORT_SIM_DEVICE=spi-flash:chip=w25q128 "$QPORT_RUN" --simulated "$flashrom" -p rayer_spi \
  >"$scratch/probe-w25q128" 2>&1 || true
expect_in "$scratch/probe-w25q128" 'Found Winbond flash chip "W25Q128.V" (16384 kB, SPI)'

# A cable flashrom wires otherwise finds nothing: the chip sees no clock.
QPORT_SIM_DEVICE=spi-flash:wiring=wiggler "$QPORT_RUN" --simulated "$flashrom" -p rayer_spi \
  >"$scratch/probe-miswired" 2>&1 || true
expect_in "$scratch/probe-miswired" "No EEPROM/flash device found."

echo "PASS: flashrom finds the simulated SPI flash on every rayer_spi cable"
