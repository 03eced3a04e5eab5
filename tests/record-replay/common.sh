# SPDX-License-Identifier: LGPL-2.1-or-later
# Sourced by each record-and-replay test: where the build's programs are, a
# scratch directory of the test's own, and the checks they share.
set -euo pipefail

: "${QPORT_RUN:?run through CTest}" "${QPORTIO:?}" "${QPORT_SIMULATED_DIR:?}"
: "${QPORT_EXAMPLES:?}" "${QPORT_SCRATCH:?}"
rm -rf "$QPORT_SCRATCH"
mkdir -p "$QPORT_SCRATCH"
scratch=$QPORT_SCRATCH
unset QPORT_SIM_MACHINE QPORT_TRACE QPORT_RECORD QPORT_SIM_REPLAY QPORT_SIM_REPLAY_IGNORE_WRITES \
  QPORT_SIM_REPLAY_EXIT_STATUS QPORT_SIM_DEVICE QPORT_SIM_PROFILE

# The status qport-run ends with when the replay diverged.
replay_diverged=122

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Passes when the file $1 holds the fixed string $2.
expect_in() {
  grep -qF -- "$2" "$1" || { echo "--- $1:"; cat "$1"; fail "expected to find: $2"; }
}

# A recording's transfers without their times.
transfers_of() { cut -d' ' -f2- "$1"; }

# Runs "$@", putting its status in $status.
run() {
  status=0
  "$@" || status=$?
}
