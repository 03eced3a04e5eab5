#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Outputs another user prepared in a shared directory: a FIFO of theirs,
# mode 0666, with their reader waiting at its other end. The trace, a
# recording (QPORT_RECORD and qport-run --record) and the printer's paper
# each refuse it in one line, and the reader gets nothing; a FIFO without a
# reader never holds the program up. The user's own FIFO, /dev/null and the
# program's standard streams stay usable.
. "$(dirname "$0")/../record-replay/common.sh"

first="$QPORT_EXAMPLES/first_transfer_simulated"
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all "$@"; }
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "note: needs root and setpriv to play another user; left out"
  exit 0
fi
shared=$scratch/shared
mkdir -m 1777 "$shared"
chmod 755 "$scratch"

# variable or option | what the line names | the start of the refusal
outputs=(
  "QPORT_RECORD|record|qport: cannot record to @: another user's file, FIFO, socket or device"
  "QPORT_TRACE|trace|qport: the trace @ is another user's FIFO, socket or device"
  "QPORT_SIM_PRINTER_OUTPUT|paper|qport: cannot write the printer's output to @: it is another user's FIFO, socket or device"
  "--record|run-record|cannot record to @: another user's file, FIFO, socket or device"
)
for output in "${outputs[@]}"; do
  how=${output%%|*}
  rest=${output#*|}
  name=${rest%%|*}
  refusal=${rest#*|}
  fifo=$shared/$name.fifo
  refusal=${refusal//@/$fifo}
  as_nobody mkfifo -m 666 "$fifo"
  # The attacker's reader, keeping what comes through.
  as_nobody sh -c "exec timeout 20 cat '$fifo' >'$shared/$name.leaked'" &
  reader=$!
  sleep 0.2
  if [ "$how" = --record ]; then
    run timeout 20 "$QPORT_RUN" --record="$fifo" "$first" >/dev/null 2>"$scratch/$name.err"
  else
    run timeout 20 env "$how=$fifo" "$first" >/dev/null 2>"$scratch/$name.err"
  fi
  [ "$status" -ne 124 ] || fail "$how: opening another user's FIFO hung"
  expect_in "$scratch/$name.err" "$refusal"
  # The refused FIFO was opened to look at it, so its reader has seen its
  # end; a reader still waiting (the FIFO never opened) is let go here.
  if kill -0 "$reader" 2>/dev/null; then timeout 5 sh -c ": >'$fifo'" || true; fi
  wait "$reader" || true
  [ ! -s "$shared/$name.leaked" ] || fail "$how: another user's FIFO read: $(cat "$shared/$name.leaked")"

  # Without a reader: refused at once, never waited on.
  run timeout 20 env "QPORT_TRACE=$fifo" "$first" >/dev/null 2>"$scratch/$name.alone.err"
  [ "$status" -ne 124 ] || fail "a FIFO without a reader held the program up"
done

# The user's own FIFO with a reader, /dev/null and standard error still take
# the trace.
mkfifo "$scratch/own.fifo"
exec 3<>"$scratch/own.fifo" # a reader from the start, which never blocks
QPORT_TRACE=$scratch/own.fifo "$first" >/dev/null
read -r -t 5 traced <&3 || fail "nothing came through the user's own FIFO"
exec 3<&-
[[ "$traced" == *"out 8 0x0378 0x55" ]] || fail "the user's own FIFO took: $traced"
for destination in /dev/null stderr /dev/stderr; do
  QPORT_TRACE=$destination "$first" >/dev/null 2>"$scratch/streams.err"
  if grep -q "another user's" "$scratch/streams.err"; then fail "$destination refused"; fi
done
expect_in "$scratch/streams.err" "out 8 0x0378 0x55"
echo "PASS: another user's FIFO takes no output"
