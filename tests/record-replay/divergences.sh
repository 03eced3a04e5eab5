#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Altered recordings replayed: each divergence is told once, at the right
# line of the recording, with what was expected and what came, and the run
# ends with qport-run's status for it; what may differ does not diverge.
. "$(dirname "$0")/common.sh"

blink="$QPORT_EXAMPLES/blink_data_lines_simulated --count 2 --interval 0"
first="$QPORT_EXAMPLES/first_transfer_simulated"
# shellcheck disable=SC2086
"$QPORT_RUN" --record="$scratch/blink.rec" $blink >/dev/null
"$QPORT_RUN" --record="$scratch/first.rec" "$first" >/dev/null
# blink.rec: out 0xff, out 0x00, out 0xff, out 0x00 at 0x378.
# first.rec: out 0x55 at 0x378, in 0x7f at 0x379.

# program | sed script on its recording | qport-run options | status |
# what standard error holds ("" for nothing)
cases=(
  "blink|3s/0xff\$/0x0f/||$replay_diverged|diverges at line 3: expected out 8 0x0378 0x0f, came out 8 0x0378 0xff"
  "blink|3s/0x0378/0x0278/||$replay_diverged|diverges at line 3: expected out 8 0x0278 0xff, came out 8 0x0378 0xff"
  "blink|2d||$replay_diverged|diverges at line 2: expected out 8 0x0378 0xff, came out 8 0x0378 0x00"
  "blink|4d||$replay_diverged|diverges after its last line (3): expected no more transfers, came out 8 0x0378 0x00"
  "blink|\$p||$replay_diverged|diverges at line 5: expected out 8 0x0378 0x00, came the program's end"
  "first|2s/ in 8 / in 16 /||$replay_diverged|diverges at line 2: expected in 16 0x0379 0x007f, came in 8 0x0379"
  "first|1s/ out / in /||$replay_diverged|diverges at line 1: expected in 8 0x0378 0x55, came out 8 0x0378 0x55"
  "blink|3s/0xff\$/0x0f/|--replay-ignore-writes=0x370-0x37f|0|"
  "blink|3s/0xff\$/0x0f/|--replay-ignore-writes=0x379|$replay_diverged|diverges at line 3"
  "first|1s/^[0-9.]*/0.5/||0|"
  "first|1i # a comment, and a blank line\n||0|"
)
number=0
for case in "${cases[@]}"; do
  IFS='|' read -r program edit options expected_status expected_error <<<"$case"
  number=$((number + 1))
  altered=$scratch/case$number.rec
  sed -e "$edit" "$scratch/$program.rec" >"$altered"
  command=$blink
  [ "$program" = first ] && command=$first
  # shellcheck disable=SC2086
  run "$QPORT_RUN" --replay="$altered" $options $command >"$scratch/case$number.out" \
    2>"$scratch/case$number.err"
  [ "$status" -eq "$expected_status" ] \
    || { cat "$scratch/case$number.err"; fail "case $number ($edit): status $status, expected $expected_status"; }
  if [ -n "$expected_error" ]; then
    expect_in "$scratch/case$number.err" "qport: the replay of $altered $expected_error"
    [ "$(grep -c 'diverges' "$scratch/case$number.err")" -eq 1 ] || fail "case $number: told more than once"
  else
    [ ! -s "$scratch/case$number.err" ] || { cat "$scratch/case$number.err"; fail "case $number: said something"; }
  fi
done

# A changed read value is what the program reads.
sed -e '2s/0x7f$/0x12/' "$scratch/first.rec" >"$scratch/read.rec"
"$QPORT_RUN" --replay="$scratch/read.rec" "$first" >"$scratch/read.out"
expect_in "$scratch/read.out" "status 0x12"
# After a divergence every port reads 0xff.
sed -e '1s/0x55$/0x56/' "$scratch/first.rec" >"$scratch/after.rec"
run "$QPORT_RUN" --replay="$scratch/after.rec" "$first" >"$scratch/after.out" 2>/dev/null
expect_in "$scratch/after.out" "status 0xff"

# Without qport-run the message is the same and the exit status the
# program's own, unless QPORT_SIM_REPLAY_EXIT_STATUS says otherwise.
run env LD_LIBRARY_PATH="$QPORT_SIMULATED_DIR" QPORT_SIM_REPLAY="$scratch/after.rec" "$first" \
  >/dev/null 2>"$scratch/direct.err"
[ "$status" -eq 0 ] || fail "a direct replay ended with $status"
expect_in "$scratch/direct.err" "diverges at line 1: expected out 8 0x0378 0x56, came out 8 0x0378 0x55"
run env LD_LIBRARY_PATH="$QPORT_SIMULATED_DIR" QPORT_SIM_REPLAY="$scratch/after.rec" \
  QPORT_SIM_REPLAY_EXIT_STATUS=9 "$first" >/dev/null 2>"$scratch/direct.err"
[ "$status" -eq 9 ] || fail "QPORT_SIM_REPLAY_EXIT_STATUS=9 ended with $status"
expect_in "$scratch/direct.err" "exit status 9 instead of 0"

# Options that do not go together, and port lists that are none: refused
# before the program starts.
for options in "--hardware --replay=$scratch/first.rec" "--follow-exec --replay=$scratch/first.rec" \
  "--replay-ignore-writes=0x378" "--replay=$scratch/first.rec --replay-ignore-writes=0x378-0x37" \
  "--replay=$scratch/first.rec --replay-ignore-writes=0x378,lpt1"; do
  # shellcheck disable=SC2086
  run "$QPORT_RUN" $options "$first" >"$scratch/options.out" 2>"$scratch/options.err"
  [ "$status" -eq 125 ] || fail "qport-run $options: status $status, expected 125"
  [ ! -s "$scratch/options.out" ] || fail "qport-run $options: the program ran"
done
expect_in "$scratch/options.err" "--replay-ignore-writes=0x378,lpt1 is no list of ports (0x378,0x37a-0x37b)"
echo "PASS: ${#cases[@]} altered recordings"
