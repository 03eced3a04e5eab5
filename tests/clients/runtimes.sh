#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Language runtimes that take SIGSEGV for their own use keep working under
# qport-run, which follows exec on the simulated PC: the JVM turns a null
# dereference in compiled code into a NullPointerException through its
# SIGSEGV handler, and Node.js installs one of its own. They run as a
# script's children, beside a program whose port instruction goes through
# the trap in the same run.
. "$(dirname "$0")/common.sh"
require_program java
require_program node
require_program outb
# The sanitizer build's library brings its runtime into every program under
# qport-run, and Node.js does not start with it.
if readelf -d "$QPORT_SIMULATED_DIR/libqport.so.1" | grep -q 'NEEDED.*lib[at]san'; then
  echo "SKIP: the simulated library is built with a sanitizer, whose runtime Node.js does not take"
  exit 77
fi

cat >"$scratch/NullChecks.java" <<'JAVA'
public class NullChecks {
    static int length(String text) { return text.length(); }
    public static void main(String[] arguments) {
        int caught = 0;
        // Enough calls for the JIT compiler to compile length() with an
        // implicit null check, which faults.
        for (int i = 0; i < 200000; i++) {
            try { length(i % 2 == 0 ? null : "x"); } catch (NullPointerException e) { caught++; }
        }
        System.out.println("java caught " + caught);
    }
}
JAVA

QPORT_TRACE="$scratch/trace" timeout 100 "$QPORT_RUN" /bin/sh -c '
  java "$1/NullChecks.java"
  outb 0x378 0x5a
  node -e "let caught = 0;
    for (let i = 0; i < 100000; i++) { try { null.x } catch (e) { caught++ } }
    console.log(\"node caught\", caught)"
' sh "$scratch" >"$scratch/out" 2>&1 || fail "the run failed: $(cat "$scratch/out")"
expect_in "$scratch/out" "java caught 100000"
expect_in "$scratch/out" "node caught 100000"
expect_in "$scratch/trace" "out 8 0x0378 0x5a"
