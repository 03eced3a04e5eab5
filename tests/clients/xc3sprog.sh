#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# xc3sprog finds the Xilinx Parallel Cable III on the simulated parallel
# port through /dev/parport0 (its cable check reads D6 back on Busy and
# PaperOut) and lists the XC3S200 behind it.
. "$(dirname "$0")/common.sh"
require_program xc3sprog

export QPORT_SIM_MACHINE=$scratch/pc
export QPORT_SIM_DEVICE=jtag
for cable in pp dlc5; do
  timeout 60 "$QPORT_RUN" --simulated xc3sprog -c "$cable" -j >"$scratch/chain-$cable" 2>&1 || true
  expect_in "$scratch/chain-$cable" "Found Xilinx Parallel Cable III"
  expect_in "$scratch/chain-$cable" "IDCODE: 0x01414093"
  expect_in "$scratch/chain-$cable" "XC3S200"
done

# A .bit file for the part: fields a-d, then field e with a bitstream of the
# XC3S200's whole length (1,047,616 bits) that begins with a dummy word and
# the sync word; and the same cut short.
make_bit() { # FILE BITSTREAM-BYTES
  python3 - "$1" "$2" <<'PYTHON'
import struct, sys
path, length = sys.argv[1], int(sys.argv[2])
def field(key, text):
    value = text.encode() + b"\0"
    return key + struct.pack(">H", len(value)) + value
stream = (b"\xff\xff\xff\xff" + b"\xaa\x99\x55\x66" + b"\x30\x00\x80\x01" * (length // 4))[:length]
with open(path, "wb") as out:
    out.write(struct.pack(">H", 9) + b"\x0f\xf0\x0f\xf0\x0f\xf0\x0f\xf0\x00" + struct.pack(">H", 1))
    out.write(field(b"a", "blinky.ncd;UserID=0xFFFFFFFF") + field(b"b", "3s200ft256"))
    out.write(field(b"c", "2026/12/09") + field(b"d", "12:00:00"))
    out.write(b"e" + struct.pack(">I", len(stream)) + stream)
PYTHON
}
make_bit "$scratch/whole.bit" 130952
make_bit "$scratch/short.bit" 65536

program() { # NAME BIT-FILE
  timeout 300 "$QPORT_RUN" --simulated xc3sprog -c pp "$2" >"$scratch/$1" 2>&1 || true
  sim_qportio show -n 0 >"$scratch/$1-shown"
}
program whole "$scratch/whole.bit"
grep -q "failed" "$scratch/whole" && fail "xc3sprog: $(cat "$scratch/whole")"
expect_in "$scratch/whole-shown" "done: yes"
expect_in "$scratch/whole-shown" "configuration-bits: 1047616"

program short "$scratch/short.bit"
expect_in "$scratch/short" "Device failed to configure"
expect_in "$scratch/short-shown" "done: no"

echo "PASS: xc3sprog finds the DLC5, lists the XC3S200 and configures it"
