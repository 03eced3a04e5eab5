#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# ppdev on the simulated PC, run by CTest:
#     ppdev_test.sh QPORT_RUN SUBJECT QPORTIO SIMULATED_LIBRARY_DIR SCRATCH
#                   PRELOAD HARDWARE_STAND_IN
set -euo pipefail
qport_run=$1 subject=$2 qportio=$3 simulated=$4 scratch=$5 preload=$6 hardware_stand_in=$7
rm -rf "$scratch"
mkdir -p "$scratch/tmpdir"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The table, with a TMPDIR that must not be where the tree is served from.
QPORT_SIM_DEVICE=loopback TMPDIR=$scratch/tmpdir "$qport_run" --simulated "$subject"
[ -z "$(ls -A "$scratch/tmpdir")" ] || fail "something was made in TMPDIR: $(ls -A "$scratch/tmpdir")"
# Nothing of the served tree is left behind (trees of processes still
# running, such as another test's at the same time, are theirs).
leftover=$(find /tmp -maxdepth 1 -name 'qport-run-parport-*' -user "$(id -u)" \
  -newer "$scratch" 2>/dev/null | while read -r tree; do
  pid=${tree#/tmp/qport-run-parport-}
  [ -d "/proc/${pid%%-*}" ] || printf ' %s' "$tree"
done)
[ -z "$leftover" ] || fail "the served tree was left behind:$leftover"

# A blocking write in compatibility mode prints through the printer's
# handshake.
QPORT_SIM_DEVICE=printer QPORT_SIM_PRINTER_OUTPUT=$scratch/paper \
  "$qport_run" --simulated "$subject" print "Hello, printer"
[ "$(cat "$scratch/paper")" = "Hello, printer" ] || fail "printed: $(cat "$scratch/paper")"

# A tree left by a process that ended without cleaning up is removed by
# the next; what an attacker puts there under that name is not followed:
# a symbolic link to a directory of the victim's, and (as root) a directory
# of another user's.
dead_pid=$( (sh -c 'echo $$') )
left=/tmp/qport-run-parport-$dead_pid-left
mkdir -m 700 "$left" "$left/parport"
mkdir -p "$scratch/victim"
echo keep >"$scratch/victim/file"
link=/tmp/qport-run-parport-$dead_pid-link
ln -s "$scratch/victim" "$link"
others=/tmp/qport-run-parport-$dead_pid-others
if [ "$(id -u)" -eq 0 ]; then
  mkdir -m 700 "$others"
  echo keep >"$others/file"
  chown -R nobody "$others"
fi
"$qport_run" --simulated ls /proc/sys/dev/parport >/dev/null
[ ! -e "$left" ] || fail "the tree left behind was not removed"
[ -L "$link" ] && [ -e "$scratch/victim/file" ] || fail "a link left there was followed"
rm -f "$link"
if [ "$(id -u)" -eq 0 ]; then
  [ -e "$others/file" ] || fail "another user's directory was emptied"
  rm -rf "$others"
fi

# What one process writes, another on the shared machine sees.
machine=$scratch/machine
QPORT_SIM_MACHINE=$machine "$qport_run" --simulated "$subject" write-data a5
value=$(QPORT_SIM_MACHINE=$machine LD_LIBRARY_PATH=$simulated "$qportio" read 0x378)
case $value in
  165 | *0xa5* | *0xA5*) ;;
  *) fail "the shared machine's data register reads $value, not 0xa5" ;;
esac

# The hardware build leaves /dev/parport0 to the kernel: the path is not
# served. Shown with the preload in front of a stand-in for that build
# (whose transfers fault), not with qport-run --hardware, which would be
# granted this PC's ports when run as root.
if [ ! -e /dev/parport0 ]; then
  if LD_PRELOAD=$preload QPORT_RUN_LIBRARY=$hardware_stand_in "$subject" write-data 00 \
    >"$scratch/hardware" 2>&1; then
    fail "the hardware build served /dev/parport0: $(cat "$scratch/hardware")"
  fi
  grep -q "open /dev/parport0: No such file" "$scratch/hardware" || fail "$(cat "$scratch/hardware")"
fi
echo "PASS: ppdev on the simulated PC"
