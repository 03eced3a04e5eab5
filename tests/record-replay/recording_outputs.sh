#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Where a recording goes: never through a symbolic link that another user
# may have placed in a shared directory (both builds, and qport-run's
# --record), appended to by each process, emptied by --record, and whole
# up to the last transfer of a program killed while recording.
. "$(dirname "$0")/common.sh"

first="$QPORT_EXAMPLES/first_transfer_simulated"
shared=$scratch/shared
mkdir -m 1777 "$shared"
echo untouched >"$scratch/target"
ln -s "$scratch/target" "$shared/link"
expect_untouched() { [ "$(cat "$scratch/target")" = untouched ] || fail "$1 wrote through the link"; }

# The attacker's link in a sticky, world-writable directory.
run "$QPORT_RUN" --record="$shared/link" "$first" >/dev/null 2>"$scratch/link.err"
[ "$status" -eq 125 ] || fail "qport-run --record through a link ended with $status"
expect_in "$scratch/link.err" "cannot record to $shared/link: a symbolic link in a directory shared with other users"
expect_untouched "qport-run --record"
QPORT_RECORD=$shared/link LD_LIBRARY_PATH=$QPORT_SIMULATED_DIR "$first" >"$scratch/link.out" \
  2>"$scratch/link.err"
expect_in "$scratch/link.err" "qport: cannot record to $shared/link: a symbolic link in a directory shared with other users, which is not followed; the program runs without recording"
expect_in "$scratch/link.out" "data 0x55 written"
expect_untouched "QPORT_RECORD"

# Another user's file, waiting in the shared directory: neither appended
# to nor emptied. A recording qport creates is its user's alone.
echo "nobody's" >"$shared/planted"
chown nobody "$shared/planted"
chmod 666 "$shared/planted"
run "$QPORT_RUN" --record="$shared/planted" "$first" >/dev/null 2>"$scratch/planted.err"
[ "$status" -eq 125 ] || fail "qport-run --record to another user's file ended with $status"
expect_in "$scratch/planted.err" "cannot record to $shared/planted: another user's file"
QPORT_RECORD=$shared/planted LD_LIBRARY_PATH=$QPORT_SIMULATED_DIR "$first" >/dev/null \
  2>"$scratch/planted.err"
expect_in "$scratch/planted.err" "qport: cannot record to $shared/planted: another user's file"
[ "$(cat "$shared/planted")" = "nobody's" ] || fail "another user's file was written"
"$QPORT_RUN" --record="$shared/mine.rec" "$first" >/dev/null
[ "$(stat -c %a "$shared/mine.rec")" = 600 ] || fail "a new recording is not mode 0600"

# The hardware build, on the refused path alone: as nobody, without
# CAP_SYS_RAWIO even in the bounding set, so the kernel refuses ioperm()
# and no port instruction can run.
as_nobody() {
  setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all "$@"
}
if command -v setpriv >/dev/null && as_nobody test -x "$QPORTIO" 2>/dev/null \
  && as_nobody grep -q '^CapBnd:[[:space:]]*0*$' /proc/self/status; then
  run as_nobody env QPORT_RECORD="$shared/link" "$QPORTIO" write 0x378 0x55 2>"$scratch/hw.err"
  [ "$status" -eq 3 ] || fail "the hardware build as nobody was not refused (status $status)"
  expect_in "$scratch/hw.err" "qport: cannot record to $shared/link: a symbolic link"
  expect_untouched "the hardware build's QPORT_RECORD"
  run as_nobody env QPORT_RECORD="$shared/hardware.rec" "$QPORTIO" write 0x378 0x55 2>/dev/null
  [ "$status" -eq 3 ] || fail "the hardware build as nobody was not refused (status $status)"
  [ -f "$shared/hardware.rec" ] && [ ! -s "$shared/hardware.rec" ] \
    || fail "the hardware build's recording of refused transfers is not an empty file"
  [ "$(stat -c %U "$shared/hardware.rec")" = nobody ] || fail "the recording is not nobody's"
  # A program with file capabilities (the loader's secure mode) takes no
  # QPORT_RECORD from the user who starts it.
  if command -v setcap >/dev/null; then
    cp "$QPORTIO" "$scratch/capable-qportio"
    chmod 755 "$scratch/capable-qportio"
    setcap cap_net_bind_service+ep "$scratch/capable-qportio"
    run setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
      --bounding-set=-sys_rawio env QPORT_RECORD="$shared/secure.rec" \
      "$scratch/capable-qportio" write 0x378 0x55 2>/dev/null
    [ "$status" -eq 3 ] || fail "the capable program as nobody was not refused (status $status)"
    [ ! -e "$shared/secure.rec" ] || fail "a program in secure mode recorded where its user said"
  fi
else
  echo "note: setpriv cannot run the build as nobody here; the hardware build's case is left out"
fi

# QPORT_RECORD appends, as the trace does; --record starts empty.
for _ in 1 2; do
  QPORT_RECORD=$scratch/twice.rec LD_LIBRARY_PATH=$QPORT_SIMULATED_DIR "$first" >/dev/null
done
[ "$(wc -l <"$scratch/twice.rec")" -eq 4 ] || fail "QPORT_RECORD did not append"
"$QPORT_RUN" --record="$scratch/twice.rec" "$first" >/dev/null
[ "$(wc -l <"$scratch/twice.rec")" -eq 2 ] || fail "--record did not start empty"

# Killed while recording: every line written is whole and replayable.
# (--no-follow-exec: qport-run executes the program in its own place, so
# that the program itself is what is killed.)
"$QPORT_RUN" --no-follow-exec --record="$scratch/killed.rec" \
  "$QPORT_EXAMPLES/blink_data_lines_simulated" --count 0 --interval 1 >/dev/null &
blinker=$!
for _ in $(seq 100); do
  [ "$(wc -l <"$scratch/killed.rec" 2>/dev/null || echo 0)" -ge 4 ] && break
  sleep 0.05
done
kill -KILL "$blinker"
wait "$blinker" || true
"$QPORTIO" recording "$scratch/killed.rec" >"$scratch/killed.summary" \
  || fail "the recording of a killed program is not whole"
echo "PASS: recordings go where they may"
