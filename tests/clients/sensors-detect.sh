#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# lm-sensors' sensors-detect finds the simulated PC's Winbond W83627HF
# through /dev/port, which qport-run serves: its Super I/O probe (entry key
# 0x87 0x87, device ID, logical device 0x0B, its enable bit and base) is
# made of the file's reads and writes, each one transfer on the machine.
#
# sensors-detect wants root, stops without udev, and would load kernel
# modules and probe the host's own CPU, PCI and I2C adapters. So it runs in
# a private mount namespace (as root there, a user namespace's root for
# anybody else), where /run/udev is made, /dev holds only the few nodes a
# script needs (no /dev/i2c-*), and modprobe is a stand-in that only logs;
# and this test answers its questions itself: no to the CPU scan (it loads
# cpuid), yes to the Super I/O scan, no to IPMI, ISA and I2C/SMBus, and
# no to writing any configuration.
. "$(dirname "$0")/common.sh"
require_program sensors-detect sensors_detect
command -v unshare >/dev/null || { echo "SKIP: unshare is not installed"; exit 77; }

# Only the simulated build: no real transfer leaves this machine's ports.
"$QPORT_RUN" --simulated --help >/dev/null

if [ "${1-}" != --inside ]; then
  isolate=(unshare --mount --propagation private)
  [ "$(id -u)" -eq 0 ] || isolate=(unshare --map-root-user --mount --propagation private)
  if ! "${isolate[@]}" true 2>/dev/null; then
    echo "SKIP: no private mount namespace here (${isolate[*]})"
    exit 77
  fi
  export QPORT_CLIENT_SCRATCH
  QPORT_OUTER_MOUNT_NAMESPACE=$(readlink /proc/self/ns/mnt)
  export QPORT_OUTER_MOUNT_NAMESPACE
  exec "${isolate[@]}" "$0" --inside
fi

# ---- inside the private mount namespace, and nowhere else: what follows
# mounts over /run and /dev.
[ -n "${QPORT_OUTER_MOUNT_NAMESPACE-}" ] &&
  [ "$(readlink /proc/self/ns/mnt)" != "$QPORT_OUTER_MOUNT_NAMESPACE" ] ||
  fail "--inside runs only in the private mount namespace this test makes"
mount -t tmpfs -o mode=755 qport-run /run
mkdir /run/udev
mkdir "$scratch/host-dev"
mount --bind /dev "$scratch/host-dev"
mount -t tmpfs -o mode=755 qport-run /dev
for node in null zero full random urandom; do
  touch "/dev/$node"
  mount --bind "$scratch/host-dev/$node" "/dev/$node"
done
ln -s /proc/self/fd /dev/fd
umount "$scratch/host-dev"
[ -z "$(ls /dev/i2c-* 2>/dev/null)" ] || fail "an I2C device file is still there"

mkdir "$scratch/bin"
cat >"$scratch/bin/modprobe" <<STAND_IN
#!/bin/sh
echo "modprobe \$*" >>"$scratch/modprobe.log"
exit 1
STAND_IN
chmod +x "$scratch/bin/modprobe"
for real in /sbin/modprobe /usr/sbin/modprobe /bin/modprobe /usr/bin/modprobe; do
  if [ -e "$real" ] && [ ! -L "$real" ]; then mount --bind "$scratch/bin/modprobe" "$real"; fi
done
# sensors-detect adds /usr/sbin, /usr/local/sbin and /sbin to PATH only
# when they are not in it: here they are, after the stand-in.
export PATH=$scratch/bin:/usr/sbin:/usr/local/sbin:/sbin:/usr/bin:/bin

# What it would write if an answer went astray stays in this namespace.
if [ -d /etc/modprobe.d ]; then mount -t tmpfs qport-run /etc/modprobe.d; fi
if [ -f /etc/modules ]; then
  cp /etc/modules "$scratch/modules"
  mount --bind "$scratch/modules" /etc/modules
fi

# CPU, Super I/O, IPMI, ISA, I2C/SMBus; any line for "press ENTER" after
# the summary; /etc/modprobe.d/lm_sensors.conf and /etc/modules. No to
# all: when the machine is taken for a laptop, the IPMI question is not
# asked, and the answers after the Super I/O scan are all no anyway.
printf '%s\n' no yes no no no no no no no >"$scratch/answers"
run_sensors_detect() {
  "$QPORT_RUN" --simulated --trace="$scratch/trace" "$sensors_detect" <"$scratch/answers" \
    >"$scratch/output" 2>&1 || true
  expect_in "$scratch/output" "Probing for Super-I/O at 0x2e/0x2f"
  grep -A3 "Probing for Super-I/O at 0x2e/0x2f" "$scratch/output" >"$scratch/families"
  expect_in "$scratch/families" "Trying family \`VIA/Winbond/Nuvoton/Fintek'...               Yes"
  grep -A1 "^Found \`Winbond W83627HF/F/HG/G Super IO Sensors'" "$scratch/output" >"$scratch/found" ||
    fail "sensors-detect did not find the W83627HF: $(cat "$scratch/output")"
  [ "$(grep -c "^Found" "$scratch/output")" -eq 1 ] || fail "another chip was found"
  if grep -q "/dev/port" "$scratch/output"; then
    fail "/dev/port was refused: $(grep /dev/port "$scratch/output")"
  fi
}

# The machine as it starts: the chip's hardware monitor (logical device
# 0x0B) enabled at 0x290, as a BIOS leaves it: found and activated,
# summarised, and no configuration written (the answers say no).
run_sensors_detect
expect_in "$scratch/found" "Super IO Sensors'            Success!"
expect_in "$scratch/found" "    (address 0x290, driver \`w83627hf')"
expect_in "$scratch/output" "  * ISA bus, address 0x290"
expect_in "$scratch/output" "# Chip drivers"

# Its probe, transfer by transfer: the entry key written to 0x2E, the
# device ID read at 0x2F.
grep -m2 " out 8 0x002e 0x87" "$scratch/trace" >/dev/null || fail "no entry key in the trace"
grep -q " in 8 0x002f 0x52" "$scratch/trace" || fail "the device ID was not read through /dev/port"
# modprobe only asked, never to load or unload: -l lists a driver (once a
# chip is found), -n is a dry run.
touch "$scratch/modprobe.log"
if grep -vE '^modprobe (-l|-n) ' "$scratch/modprobe.log"; then
  fail "sensors-detect ran modprobe to load or unload a module"
fi

# The hardware monitor disabled through the chip's configuration: found,
# but not activated, with no sensors to report.
export QPORT_SIM_MACHINE=$scratch/pc
for value in 0x87 0x87 0x07; do sim_qportio write 0x2e "$value"; done
sim_qportio write 0x2f 0x0b
sim_qportio write 0x2e 0x30
sim_qportio write 0x2f 0x00
sim_qportio write 0x2e 0xaa
run_sensors_detect
expect_in "$scratch/found" "    (address 0x290, but not activated)"
expect_in "$scratch/output" "Sorry, no sensors were detected."
if grep -vE '^modprobe (-l|-n) ' "$scratch/modprobe.log"; then
  fail "sensors-detect ran modprobe to load or unload a module"
fi
echo "PASS: sensors-detect finds the W83627HF through /dev/port"
