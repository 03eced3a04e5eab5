#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# coreboot's superiotool finds the simulated PC's Winbond W83627HF at 0x2E
# among every other vendor's probes, and dumps its registers as the chip's
# values at reset, except the devices this machine lacks, which it starts
# disabled. The chip's parallel port registers move lpt1 for every process
# on the machine, and superiotool sees the move.
. "$(dirname "$0")/common.sh"
require_program superiotool superiotool

export QPORT_SIM_MACHINE=$scratch/pc
run_superiotool() {
  "$QPORT_RUN" --simulated "$superiotool" "$@"
}

# Probing alone: one chip found, where and what it is.
run_superiotool >"$scratch/probe"
expect_in "$scratch/probe" "Found Winbond W83627HF/F/HG/G (id=0x52, rev=0x17) at 0x2e"
[ "$(grep -c Found "$scratch/probe")" -eq 1 ] || fail "another vendor's probe found a chip"
# Verbose, it tells which key found it: Winbond's own, after the keys of
# the other vendors and Winbond's 0x88, 0x89 and 0x86 had opened nothing,
# and while closed 0x2F read all ones for Aspeed's probe.
run_superiotool -V >"$scratch/probe"
grep -B1 "^Found Winbond" "$scratch/probe" >"$scratch/found"
expect_in "$scratch/found" "Probing for Winbond Super I/O (init=0x87,0x87) at 0x2e..."
grep -A1 "^Probing for Aspeed Super I/O at 0x2e" "$scratch/probe" >"$scratch/aspeed"
expect_in "$scratch/aspeed" "scratch registers all read as 0xff"

# The dump: every register reads its value at reset, except the enable bits
# of the floppy controller and the serial ports, and the hardware monitor,
# enabled at 0x290 as firmware leaves it.
run_superiotool -d >"$scratch/dump"
expect_in "$scratch/dump" "LDN 0x01 (Parallel port)"
awk '/^(LDN|Register dump)/ { section = $1 " " $2 }
     /^idx/ { split($0, index_of) }
     /^val/ { split($0, value_of) }
     /^def/ { count = split($0, default_of)
              for (i = 2; i <= count; i++)
                if (default_of[i] ~ /^[0-9a-f][0-9a-f]$/ && default_of[i] != value_of[i])
                  print section, index_of[i], value_of[i], "not", default_of[i] }' \
  "$scratch/dump" >"$scratch/differences"
cat >"$scratch/expected-differences" <<'EOF'
LDN 0x00 30 00 not 01
LDN 0x02 30 00 not 01
LDN 0x03 30 00 not 01
LDN 0x0b 30 01 not 00
LDN 0x0b 60 02 not 00
LDN 0x0b 61 90 not 00
EOF
diff -u "$scratch/expected-differences" "$scratch/differences" \
  || fail "superiotool -d differs from the chip's values at reset"

# Probed and dumped, the chip is closed again and lpt1 is where it was.
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "  configuration: closed"
expect_in "$scratch/show" "lpt1: parallel-port at 0x0378-0x037a"

# -de dumps the hardware monitor's registers through its address port.
run_superiotool -de >"$scratch/extra"
expect_in "$scratch/extra" "Hardware monitor (0x0295)"

# The parallel port's base moved to 0x278 through the chip, by separate
# runs of qportio: lpt1's data latch answers there, and 0x378 is unbacked.
for value in 0x87 0x87 0x07; do sim_qportio write 0x2e "$value"; done
sim_qportio write 0x2f 0x01
sim_qportio write 0x2e 0x60
sim_qportio write 0x2f 0x02
sim_qportio write 0x2e 0xaa
sim_qportio write 0x278 0x5a
[ "$(sim_qportio read -x 0x278 0x378)" = $'0x5a\n0xff' ] || fail "lpt1 did not move to 0x278"
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "lpt1: parallel-port at 0x0278-0x027a"
expect_in "$scratch/show" "  ldn1: parallel port, enabled, base 0x278, irq 7"
run_superiotool -d >"$scratch/dump"
grep -A2 "^LDN 0x01" "$scratch/dump" >"$scratch/parallel"
expect_in "$scratch/parallel" "val 01 02 78 07 04 3f"

# Disabled with 16-bit writes (index on 0x2E, data on 0x2F): lpt1 decodes
# nothing.
sim_qportio write 0x2e 0x87
sim_qportio write 0x2e 0x87
sim_qportio write -w 16 0x2e 0x0107
sim_qportio write -w 16 0x2e 0x0030
sim_qportio write 0x2e 0xaa
[ "$(sim_qportio read -x 0x278)" = 0xff ] || fail "a disabled lpt1 still answers"
sim_qportio show >"$scratch/show"
expect_in "$scratch/show" "lpt1: parallel-port, disabled"

# A reset puts lpt1 and the chip's registers back at 0x378.
sim_qportio reset
[ "$(sim_qportio read -x 0x37a)" = 0xec ] || fail "lpt1 is not back at 0x378"
run_superiotool -d >"$scratch/dump"
grep -A2 "^LDN 0x01" "$scratch/dump" >"$scratch/parallel"
expect_in "$scratch/parallel" "val 01 03 78 07 04 3f"
echo "PASS: superiotool finds and dumps the W83627HF; its parallel port moves lpt1"
