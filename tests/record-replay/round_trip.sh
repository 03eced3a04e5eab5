#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Each program recorded under qport-run replays with the same output and
# the same transfers, from the recording alone: the simulated PC's devices
# are not reached (a recording made with a peripheral replays without it).
. "$(dirname "$0")/common.sh"

programs=(
  "$QPORT_EXAMPLES/first_transfer_simulated"
  "$QPORT_EXAMPLES/blink_data_lines_simulated --count 3 --interval 0"
  "$QPORT_EXAMPLES/read_status_lines_simulated"
)
# Debian's ioport tools make their own port instructions.
command -v outb >/dev/null && programs+=("outb 0x378 0x5a" "inb 0x379")
# lspci reads PCI configuration with 32-bit transfers and 8-bit ones.
lspci=$(command -v lspci || PATH=$PATH:/usr/sbin:/sbin command -v lspci || true)
[ -n "$lspci" ] && programs+=("$lspci -A intel-conf1 -nn -x")
hwclock=$(command -v hwclock || PATH=$PATH:/usr/sbin:/sbin command -v hwclock || true)
[ -n "$hwclock" ] && programs+=("$hwclock --directisa --utc --noadjfile -r --verbose")

number=0
for program in "${programs[@]}"; do
  number=$((number + 1))
  recording=$scratch/$number.rec
  # shellcheck disable=SC2086 # the program and its arguments, split
  QPORT_SIM_DEVICE=loopback TZ=UTC "$QPORT_RUN" --record="$recording" $program >"$scratch/$number.out"
  [ -s "$recording" ] || fail "$program: nothing recorded"
  "$QPORTIO" recording "$recording" >"$scratch/$number.summary" || fail "$program: summary"
  # shellcheck disable=SC2086
  run env TZ=UTC "$QPORT_RUN" --replay="$recording" --record="$scratch/$number.again" $program \
    >"$scratch/$number.replayed" 2>"$scratch/$number.err"
  [ "$status" -eq 0 ] || { cat "$scratch/$number.err"; fail "$program: replay ended with $status"; }
  [ ! -s "$scratch/$number.err" ] || { cat "$scratch/$number.err"; fail "$program: replay said something"; }
  if [[ $program == *hwclock* ]]; then
    # It prints last the time it read less how long it waited for the
    # clock's tick, which a replay does not repeat; the time read agrees.
    grep '^Hw clock time' "$scratch/$number.out" >"$scratch/$number.out.read"
    grep '^Hw clock time' "$scratch/$number.replayed" >"$scratch/$number.replayed.read"
    [ -s "$scratch/$number.out.read" ] || fail "$program: no time read"
    cmp -s "$scratch/$number.out.read" "$scratch/$number.replayed.read" \
      || fail "$program: replayed output differs"
  else
    cmp -s "$scratch/$number.out" "$scratch/$number.replayed" || {
      diff "$scratch/$number.out" "$scratch/$number.replayed"
      fail "$program: replayed output differs"
    }
  fi
  diff <(transfers_of "$recording") <(transfers_of "$scratch/$number.again") \
    || fail "$program: the replay made other transfers"
done

# read_status_lines read the loopback plug's status: its replay, without
# the plug, reads it too.
expect_in "$scratch/3.replayed" "status register 0xf7"

# The summary of the first: its two ports, one write and one read.
cat >"$scratch/expected-summary" <<END
transfers: 2 in 2 lines
reads: 1, writes: 1
port    reads  writes  widths
0x0378      0       1  8
0x0379      1       0  8
END
grep -v -e '^recording:' -e '^time:' "$scratch/1.summary" | diff "$scratch/expected-summary" - \
  || fail "qportio recording's summary"

# A program linked against the library itself, without qport-run.
QPORT_RECORD=$scratch/direct.rec LD_LIBRARY_PATH=$QPORT_SIMULATED_DIR \
  "$QPORT_EXAMPLES/first_transfer_simulated" >"$scratch/direct.out"
QPORT_SIM_REPLAY=$scratch/direct.rec LD_LIBRARY_PATH=$QPORT_SIMULATED_DIR \
  "$QPORT_EXAMPLES/first_transfer_simulated" >"$scratch/direct.replayed"
cmp "$scratch/direct.out" "$scratch/direct.replayed" || fail "the direct replay's output differs"
echo "PASS: ${#programs[@]} programs recorded and replayed"
