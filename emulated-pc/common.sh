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
# line holds.
phase_table=$(dirname "${BASH_SOURCE[0]}")/phases.cfg

# The phases the table declares, one a line.
phase_names() { awk '$1 == "phase" { print $2 }' "$phase_table"; }
