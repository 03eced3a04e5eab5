#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# A set-uid or file-capability program linked to qport, started by another
# user with every QPORT_ variable pointing where that user likes: the
# loader's secure mode makes the library ignore them all, in both builds,
# and say so in one line. Nothing is created, nothing read.
. "$(dirname "$0")/../record-replay/common.sh"

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all "$@"; }
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null || ! command -v setcap >/dev/null \
  || ! as_nobody test -x "$QPORT_EXAMPLES/first_transfer_simulated" 2>/dev/null; then
  echo "note: needs root, setpriv, setcap and a build nobody may run; left out"
  exit 0
fi
shared=$scratch/shared
mkdir -m 1777 "$shared"
chmod 755 "$scratch"
echo "1.000000000 out 8 0x0378 0x55" >"$scratch/replay.rec"
secret=$scratch/secret
echo "root's secret" >"$secret"
chmod 600 "$secret"

# The caller's own description of the machine: a status register of its
# choosing, and root's secret loaded as a memory.
callers=$scratch/callers
mkdir -m 755 "$callers"
chown 65534:65534 "$callers"
as_nobody sh -c "printf '[presets]\n0x379 = 0x12\n[memories]\nlpt1-w25q80 = \"$secret\"\n' \
  >'$callers/pc.toml' && chmod 600 '$callers/pc.toml'"

# The caller's choice of every variable the library reads.
variables=(
  "QPORT_SIM_MACHINE_DESCRIPTION=$callers/pc.toml"
  "QPORT_TRACE=$shared/trace"
  "QPORT_RECORD=$shared/record"
  "QPORT_SIM_MACHINE=$shared/machine"
  "QPORT_SIM_PRINTER_OUTPUT=$shared/paper"
  "QPORT_SIM_DEVICE=printer"
  "QPORT_SIM_PROFILE=none"
  "QPORT_SIM_REFUSE=no-privilege"
)
message="this program runs set-id or with file capabilities, so"

# name | how the program is made privileged
subjects=("setuid|chmod 4755" "capability|setcap cap_net_bind_service+ep")
for subject in "${subjects[@]}"; do
  name=${subject%%|*}
  make_privileged=${subject#*|}
  program=$scratch/$name-first-transfer
  cp "$QPORT_EXAMPLES/first_transfer_simulated" "$program"
  chmod 755 "$program"
  $make_privileged "$program"
  run as_nobody env "${variables[@]}" "$program" >"$scratch/$name.out" 2>"$scratch/$name.err"
  [ "$status" -eq 0 ] || { cat "$scratch/$name.err"; fail "$name: the program ended with $status"; }
  # Access stays granted (QPORT_SIM_REFUSE ignored) on its own machine.
  expect_in "$scratch/$name.out" "data 0x55 written, status 0x7f"
  [ -z "$(ls -A "$shared")" ] || fail "$name: the caller's variables made files: $(ls "$shared")"
  [ "$(grep -c "" "$scratch/$name.err")" -eq 1 ] || fail "$name: not one line on standard error"
  expect_in "$scratch/$name.err" "qport: $message"
  expect_in "$scratch/$name.err" "every other QPORT_ variable of its environment are ignored"

  # A replay of root's file: neither read nor named back.
  run as_nobody env QPORT_SIM_REPLAY="$secret" "$program" >/dev/null 2>"$scratch/$name.replay.err"
  [ "$status" -eq 0 ] || fail "$name: the program under QPORT_SIM_REPLAY ended with $status"
  expect_in "$scratch/$name.replay.err" "qport: $message QPORT_SIM_REPLAY"
  if grep -q "cannot replay" "$scratch/$name.replay.err"; then
    fail "$name: the replay of another user's file was tried"
  fi
done

# The same program without privilege takes its variables, as ever.
run env "QPORT_TRACE=$scratch/own.trace" "$QPORT_EXAMPLES/first_transfer_simulated" >/dev/null \
  2>"$scratch/plain.err"
[ -s "$scratch/own.trace" ] || fail "an ordinary program took no QPORT_TRACE"
if grep -q "$message" "$scratch/plain.err"; then fail "an ordinary program was told it is set-id"; fi

# The hardware build, refused as nobody (no CAP_SYS_RAWIO, so no port
# instruction can run): its one variable, QPORT_RECORD, is ignored too.
program=$scratch/capable-qportio
cp "$QPORTIO" "$program"
chmod 755 "$program"
setcap cap_net_bind_service+ep "$program"
run as_nobody --bounding-set=-sys_rawio env QPORT_RECORD="$shared/hardware.rec" "$program" \
  write 0x378 0x55 2>"$scratch/hardware.err"
[ "$status" -eq 3 ] || fail "the capable hardware build as nobody was not refused (status $status)"
[ ! -e "$shared/hardware.rec" ] || fail "the hardware build recorded where its caller said"
expect_in "$scratch/hardware.err" "qport: $message QPORT_RECORD"
echo "PASS: set-id and capability programs ignore every QPORT_ variable"
