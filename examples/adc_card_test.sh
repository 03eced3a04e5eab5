#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# The ADC card of adc_card.py, served from Python on a shared machine, read
# by read_adc (linked to the simulated build) and by Debian's unmodified
# outb and inb under qport-run.
#   adc_card_test.sh PYTHON READ_ADC QPORTIO QPORT_RUN
set -eu
python=$1 read_adc=$2 qportio=$3 qport_run=$4
examples=$(dirname "$0")
work=$(mktemp -d /tmp/qport-adc.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export QPORT_SIM_MACHINE="$work/machine"

"$python" "$examples/adc_card.py" &
server=$!
for _ in $(seq 100); do
  "$qportio" show 2>/dev/null | grep -q '^served-0300: served at' && break
  sleep 0.1
done

"$read_adc" >"$work/read"
cat >"$work/expected" <<'END'
channel 0:   0 (0.00 V)
channel 1:  32 (0.63 V)
channel 2:  64 (1.25 V)
channel 3:  96 (1.88 V)
channel 4: 128 (2.51 V)
channel 5: 159 (3.12 V)
channel 6: 191 (3.75 V)
channel 7: 223 (4.37 V)
END
diff "$work/expected" "$work/read"

if command -v outb >/dev/null && command -v inb >/dev/null; then
  "$qport_run" --simulated outb 0x300 5
  [ "$("$qport_run" --simulated inb 0x301)" = 159 ]
else
  echo "adc_card_test: no outb and inb (Debian's ioport); they are not tried"
fi

kill -TERM "$server"
wait "$server"
server=
# Its server gone cleanly, the card's ports are unbacked again.
[ "$("$qportio" read 0x301)" = 255 ]
echo "adc card: all 8 channels read"
