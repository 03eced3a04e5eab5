#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Files a replay cannot trust: qportio recording refuses each with its line
# and reason (status 6); qport-run --replay refuses it the same way before
# the program starts (status 125); a program that reads it from
# QPORT_SIM_REPLAY tells the same and ends as a divergence, without a crash.
. "$(dirname "$0")/common.sh"

first="$QPORT_EXAMPLES/first_transfer_simulated"
good="1.000000000 out 8 0x0378 0x55"
# name | content (printf format) | line | reason
cases=(
  "cut-short|$good\n2.000000000 in 8 0x03|2|the file ends inside this line (cut short?)"
  "binary|\x7fELF\x02\x01\x01\x00\x00\n|1|not text (a control character or a NUL byte)"
  "backwards|$good\n0.500000000 in 8 0x0379 0x7f\n|2|time goes backwards (0.500000000 after 1.000000000)"
  "words|$good\nin 8 0x0379 0x7f\n|2|not a transfer (SECONDS in|out 8|16|32 PORT VALUE)"
)
for case in "${cases[@]}"; do
  name=${case%%|*}
  rest=${case#*|}
  content=${rest%%|*}
  rest=${rest#*|}
  line=${rest%%|*}
  reason=${rest#*|}
  file=$scratch/$name.rec
  # shellcheck disable=SC2059 # the content is a printf format
  printf "$content" >"$file"
  run "$QPORTIO" recording "$file" >/dev/null 2>"$scratch/$name.err"
  [ "$status" -eq 6 ] || fail "$name: qportio recording ended with $status"
  expect_in "$scratch/$name.err" "qportio: $file, line $line: $reason"
  run "$QPORT_RUN" --replay="$file" "$first" >"$scratch/$name.out" 2>"$scratch/$name.err"
  [ "$status" -eq 125 ] || fail "$name: qport-run --replay ended with $status"
  expect_in "$scratch/$name.err" "qport-run: cannot replay $file, line $line: $reason"
  [ ! -s "$scratch/$name.out" ] || fail "$name: the program ran"
  run env LD_LIBRARY_PATH="$QPORT_SIMULATED_DIR" QPORT_SIM_REPLAY="$file" \
    QPORT_SIM_REPLAY_EXIT_STATUS="$replay_diverged" "$first" >"$scratch/$name.out" 2>"$scratch/$name.err"
  [ "$status" -eq "$replay_diverged" ] || fail "$name: the replay ended with $status"
  expect_in "$scratch/$name.err" "qport: cannot replay $file, line $line: $reason; every port reads 0xff"
  expect_in "$scratch/$name.out" "status 0xff"
done

# A file that is not there, and a directory.
for file in "$scratch/missing.rec" "$scratch"; do
  run "$QPORTIO" recording "$file" >/dev/null 2>"$scratch/unreadable.err"
  [ "$status" -eq 6 ] || fail "qportio recording $file ended with $status"
  expect_in "$scratch/unreadable.err" "qportio: cannot read $file: "
  run "$QPORT_RUN" --replay="$file" "$first" >"$scratch/unreadable.out" 2>"$scratch/unreadable.err"
  [ "$status" -eq 125 ] || fail "qport-run --replay=$file ended with $status"
  expect_in "$scratch/unreadable.err" "qport-run: cannot replay $file: "
  [ ! -s "$scratch/unreadable.out" ] || fail "the program ran with --replay=$file"
done

# Input that is not a recording file: a FIFO nobody writes to, endless
# devices, and a file past the size a recording may have. Each is refused
# at once (no wait for a writer, no attempt to read it whole).
mkfifo "$scratch/writerless.fifo"
truncate -s 300M "$scratch/huge.rec"
# path | reason
inputs=(
  "$scratch/writerless.fifo|not a regular file"
  "/dev/zero|not a regular file"
  "/dev/urandom|not a regular file"
  "$scratch/huge.rec|larger than 256 MiB, the most a recording may hold"
)
for input in "${inputs[@]}"; do
  file=${input%%|*}
  reason=${input#*|}
  run timeout 20 "$QPORTIO" recording "$file" >/dev/null 2>"$scratch/input.err"
  [ "$status" -eq 6 ] || fail "qportio recording $file ended with $status"
  expect_in "$scratch/input.err" "qportio: cannot read $file: $reason"
  run timeout 20 "$QPORT_RUN" --replay="$file" "$first" >"$scratch/input.out" 2>"$scratch/input.err"
  [ "$status" -eq 125 ] || fail "qport-run --replay=$file ended with $status"
  expect_in "$scratch/input.err" "qport-run: cannot replay $file: $reason"
  [ ! -s "$scratch/input.out" ] || fail "the program ran with --replay=$file"
  run timeout 20 env QPORT_SIM_REPLAY="$file" "$first" >"$scratch/input.out" 2>"$scratch/input.err"
  [ "$status" -ne 124 ] || fail "QPORT_SIM_REPLAY=$file hung"
  expect_in "$scratch/input.err" "qport: cannot replay $file: $reason"
done

# An empty recording is one of no transfers: the program's first diverges.
: >"$scratch/empty.rec"
"$QPORTIO" recording "$scratch/empty.rec" >"$scratch/empty.summary"
expect_in "$scratch/empty.summary" "transfers: 0 in 0 lines"
run "$QPORT_RUN" --replay="$scratch/empty.rec" "$first" >/dev/null 2>"$scratch/empty.err"
[ "$status" -eq "$replay_diverged" ] || fail "a replay of nothing ended with $status"
expect_in "$scratch/empty.err" "diverges after its last line (0): expected no more transfers, came out 8 0x0378 0x55"
echo "PASS: ${#cases[@]} bad recordings refused"
