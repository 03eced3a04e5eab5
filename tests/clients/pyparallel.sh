#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# pyparallel (python3-parallel) drives the simulated parallel port through
# /dev/parport0 and reads each control line back through the loopback plug.
# Debian's interpreter by its path: the module is installed for it.
. "$(dirname "$0")/common.sh"
/usr/bin/python3 -c 'import parallel' 2>/dev/null || {
  echo "SKIP: python3-parallel is not installed (tools/install-deps installs it)"
  exit 77
}

cat >"$scratch/loopback.py" <<'PYTHON'
import parallel

p = parallel.Parallel()
checks = []
# Each output line and the status line the plug wires it to.
for level in (True, False):
    p.setData(0x55 if level else 0x54)
    checks.append(("D0 -> nError", level, p.getInError()))
    p.setDataStrobe(level)
    checks.append(("nStrobe -> Select", level, p.getInSelected()))
    p.setInitOut(level)
    checks.append(("nInit -> nAck", level, p.getInAcknowledge()))
    p.setAutoFeed(level)
    checks.append(("nAutoFd -> PaperOut", level, p.getInPaperOut()))
    p.setSelect(level)
    checks.append(("nSelectIn -> Busy", level, p.getInBusy()))
p.setData(0xA5)
checks.append(("data register", 0xA5, p.getData()))
for name, wanted, got in checks:
    print(("ok  " if wanted == got else "BAD ") + name, wanted, got)
PYTHON

QPORT_SIM_DEVICE=loopback "$QPORT_RUN" --simulated --trace="$scratch/trace" \
  /usr/bin/python3 "$scratch/loopback.py" >"$scratch/out" 2>&1 || fail "python3: $(cat "$scratch/out")"
if grep -q "^BAD" "$scratch/out"; then
  cat "$scratch/out"
  fail "a line read back wrong"
fi
expect_in "$scratch/out" "ok  data register 165 165"
# The transfers reached lpt1's data register.
expect_in "$scratch/trace" "out 8 0x0378 0x55"
echo "PASS: pyparallel drives the simulated port through /dev/parport0"
