# Shared by the package tests: the build tree, a scratch folder removed at
# exit, failure counting, and the checks both tests make on an installed tree.
set -uo pipefail
build=$(realpath "$1")
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/velarn-pkgtest-$$-XXXXXX")
failures=0
cleanups=()
cleanup() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
finish() {
  if [ $failures -gt 0 ]; then echo "$failures check(s) failed"; exit 1; fi
  echo "all checks passed"
  exit 0
}

# Polls CONDITION (a command) up to N times, a tenth of a second apart.
wait_for() {
  local n=$1; shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}

# ELF files among or below the given paths that carry an RPATH or RUNPATH.
runpaths_below() {
  local f
  find "$@" -type f | while read -r f; do
    head -c 4 "$f" 2>/dev/null | grep -q 'ELF' || continue
    readelf -d "$f" 2>/dev/null | grep -Eq '\((RPATH|RUNPATH)\)' && echo "$f"
  done
}

# Runs `kevad install` from the installed tree KEVAD into a scratch root and
# compares the unit it writes with the shipped one, the command aside.
unit_matches_install() {
  local kevad=$1 shipped=$2 root=$tmp/unit-root
  mkdir -p "$root"
  VELARN_ROOT=$root "$kevad" install >/dev/null 2>&1
  local written=$root/etc/systemd/system/kevad.service
  [ -f "$written" ] || { echo "kevad install wrote no unit"; return 1; }
  grep -q "^ExecStart=\"$kevad\" service\$" "$written" || { grep ExecStart "$written"; return 1; }
  diff <(grep -v '^ExecStart=' "$shipped") <(grep -v '^ExecStart=' "$written")
}
