#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# setpci (pciutils) writes the simulated PC's PCI configuration space
# through mechanism #1: writable registers keep what it writes, read-only
# ones do not, and the parallel-port card's BAR 0 and command register move
# and disable lpt2, as qportio and lspci then show.
. "$(dirname "$0")/common.sh"
require_program setpci
require_program lspci

export QPORT_SIM_MACHINE=$scratch/pc
setpci_on_pc() {
  "$QPORT_RUN" --simulated setpci -A intel-conf1 "$@"
}
# Passes when reading register $2 of function $1 gives $3.
expect_register() {
  local got
  got=$(setpci_on_pc -s "$1" "$2")
  [ "$got" = "$3" ] || fail "$1 $2 reads $got, expected $3"
}

setpci_on_pc -s 00:03.0 INTERRUPT_LINE=05 LATENCY_TIMER=40
expect_register 00:03.0 INTERRUPT_LINE 05
expect_register 00:03.0 LATENCY_TIMER 40
setpci_on_pc -s 00:03.0 VENDOR_ID=1234 INTERRUPT_PIN=04
expect_register 00:03.0 VENDOR_ID 9710
expect_register 00:03.0 INTERRUPT_PIN 01
setpci_on_pc -s 00:00.0 COMMAND=0000
expect_register 00:00.0 COMMAND 0006

# BAR 0 moves lpt2; its data latch answers at the new place only.
setpci_on_pc -d 9710:9865 BASE_ADDRESS_0=e000
expect_register 00:03.0 BASE_ADDRESS_0 0000e001
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "lpt2: parallel-port at 0xe000-0xe002"
expect_in "$scratch/show" "bar0: 0x0000e001: I/O at 0xe000, lpt2"
sim_qportio write 0xe000 0x55
[ "$(sim_qportio read -x 0xe000)" = 0x55 ] || fail "lpt2's data latch is not at 0xe000"
[ "$(sim_qportio read -x 0xd010)" = 0xff ] || fail "0xd010 still answers"

# Sizing BAR 0 reads back its size mask; meanwhile lpt2 answers nowhere.
setpci_on_pc -s 00:03.0 BASE_ADDRESS_0=ffffffff
expect_register 00:03.0 BASE_ADDRESS_0 fffffff9
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "lpt2: parallel-port, disabled"
setpci_on_pc -s 00:03.0 BASE_ADDRESS_0=e000

# I/O space off in the command register: lpt2 disabled, as lspci says.
setpci_on_pc -s 00:03.0 COMMAND=0006
"$QPORT_RUN" --simulated lspci -A intel-conf1 -v -s 00:03.0 >"$scratch/lspci" 2>/dev/null
expect_in "$scratch/lspci" "I/O ports at e000 [disabled]"
[ "$(sim_qportio read -x 0xe000)" = 0xff ] || fail "lpt2 answers with I/O space off"
setpci_on_pc -s 00:03.0 COMMAND=0007
[ "$(sim_qportio read -x 0xe000)" = 0x55 ] || fail "lpt2 is not back at 0xe000"
echo "PASS"
