#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# /dev/port on the simulated PC, run by CTest:
#     port_test.sh QPORT_RUN SUBJECT SCRATCH PRELOAD HARDWARE_STAND_IN
set -euo pipefail
qport_run=$1 subject=$2 scratch=$3 preload=$4 hardware_stand_in=$5
rm -rf "$scratch"
mkdir -p "$scratch"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The table: each case's calls, answers and transfers (read from the trace).
"$qport_run" --simulated --trace="$scratch/trace" "$subject" "$scratch/trace"

# The hardware build leaves /dev/port to the kernel. Shown with the preload
# in front of a stand-in for that build (whose transfers fault), not with
# qport-run --hardware, which would be granted this PC's ports when run as
# root; the subject only looks at the path's status.
LD_PRELOAD=$preload QPORT_RUN_LIBRARY=$hardware_stand_in "$subject" --not-served ||
  fail "the hardware build served /dev/port"
echo "PASS: /dev/port on the simulated PC"
