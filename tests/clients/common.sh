# SPDX-License-Identifier: LGPL-2.1-or-later
# Sourced by each client test: where the build's programs are, a scratch
# directory of the test's own, and the checks they share.
set -euo pipefail

: "${QPORT_RUN:?run through CTest}" "${QPORTIO:?}" "${QPORT_SIMULATED_DIR:?}"
: "${QPORT_CLIENT_SCRATCH:?}"
rm -rf "$QPORT_CLIENT_SCRATCH"
mkdir -p "$QPORT_CLIENT_SCRATCH"
scratch=$QPORT_CLIENT_SCRATCH

# Skips the test when a client program is not installed; puts its path in
# the variable a second argument names.
require_program() {
  local found
  found=$(command -v "$1" 2>/dev/null || PATH=$PATH:/usr/sbin:/sbin command -v "$1" 2>/dev/null) || {
    echo "SKIP: $1 is not installed (tools/install-deps installs it)"
    exit 77
  }
  [ -z "${2:-}" ] || printf -v "$2" '%s' "$found"
}

# qportio on the simulated build, for looking at the machine a client used.
sim_qportio() {
  LD_LIBRARY_PATH=$QPORT_SIMULATED_DIR "$QPORTIO" "$@"
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Passes when the text (file $1) holds the fixed string $2.
expect_in() {
  grep -qF -- "$2" "$1" || { echo "--- $1:"; cat "$1"; fail "expected to find: $2"; }
}
