#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# lspci (pciutils) lists the simulated PC's PCI functions through
# configuration mechanism #1 at 0xCF8: their IDs, names (from pci.ids) and
# classes, and the parallel-port card's I/O regions, interrupt and
# capability.
. "$(dirname "$0")/common.sh"
require_program lspci

lspci_on_pc() {
  "$QPORT_RUN" --simulated lspci -A intel-conf1 "$@" >"$scratch/out" 2>"$scratch/err" \
    || { cat "$scratch/err"; fail "lspci $* exited with status $?"; }
}

lspci_on_pc -nnv
expect_in "$scratch/out" "00:00.0 Host bridge [0600]: Intel Corporation 440FX - 82441FX PMC [Natoma] [8086:1237] (rev 02)"
expect_in "$scratch/out" "00:01.0 ISA bridge [0601]: Intel Corporation 82371SB PIIX3 ISA [Natoma/Triton II] [8086:7000]"
expect_in "$scratch/out" "00:03.0 Parallel controller [0701]: "
expect_in "$scratch/out" "9865 Multi-I/O Controller [9710:9865] (prog-if 03 [IEEE1284])"
expect_in "$scratch/out" "IRQ 11"
expect_in "$scratch/out" "I/O ports at d010"
expect_in "$scratch/out" "I/O ports at d000"
expect_in "$scratch/out" "Memory at febf1000 (32-bit, non-prefetchable)"
expect_in "$scratch/out" "Capabilities: [48] Power Management version 2"
[ "$(grep -c '^00:' "$scratch/out")" -eq 3 ] || fail "expected exactly three functions"

# The card's configuration space as lspci dumps it: IDs, command, status,
# class, BAR 0.
lspci_on_pc -s 00:03.0 -x
expect_in "$scratch/out" "00: 10 97 65 98 07 00 90 02 00 03 01 07 00 20 00 00"
expect_in "$scratch/out" "10: 11 d0 00 00 01 d0 00 00 00 10 bf fe 00 00 00 00"

# On the bare machine there is no PCI: lspci finds nothing.
QPORT_SIM_PROFILE=bare lspci_on_pc
[ ! -s "$scratch/out" ] || fail "lspci found functions on the bare machine"
echo "PASS"
