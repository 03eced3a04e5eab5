# SPDX-License-Identifier: LGPL-2.1-or-later
# Shared by the emulated PC's scripts; sourced, never run.

say() { echo "emulated-pc: $*" >&2; }
fail() { say "$*"; exit 1; }

# ensure_packages COMMAND:PACKAGE...
# Installs the Debian packages whose commands are missing. Only root may
# install; anyone else is told what to install.
ensure_packages() {
  local pair missing=()
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] \
    || fail "missing ${missing[*]}: run tools/install-deps, or install them with apt-get as root"
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || fail "apt-get update failed"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    || fail "could not install ${missing[*]}"
}

# The table of boot phases beside these scripts; its comments say what each
# key means.
phase_table_file=$(dirname "${BASH_SOURCE[0]}")/phases.cfg

# use_build_dir DIR: read the table through DIR/emulated_pc_phase_table, the
# reader /init uses, built in the emulated PC's build directory (such as
# build/emulated-pc).
use_build_dir() {
  phase_table_tool=$1/emulated_pc_phase_table
  [ -x "$phase_table_tool" ] ||
    fail "no $phase_table_tool: build the qport_emulated_pc target"
}

# phase_table ARGS...: the reader's answer, such as "phases" (the names, one
# a line), "field PHASE KEY" or "runs PHASE" (AS LABEL, one a line). A table
# it cannot read, or a phase or key it lacks, ends the script.
phase_table() {
  "$phase_table_tool" "$phase_table_file" "$@" || fail "the phase table cannot answer '$*'"
}
