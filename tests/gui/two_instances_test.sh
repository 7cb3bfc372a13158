#!/usr/bin/env bash
# Two real vlngui processes on a virtual display with a tray host, against a
# real kevad in a throwaway root: a second start hands -connect to the first,
# which connects through the service; a plain second start says the program
# runs already; -cmd -exit(0) ends the running instance with exit code 0.
set -euo pipefail
vlngui=$1 kevad=$2
for tool in Xvfb trayer xdotool; do
  command -v $tool >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done

T=$(mktemp -d /tmp/vlngui-e2e-$$-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP:-}" ] || rm -rf "$T"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$T"/*.log "$T"/var/lib/Velarn/kevad.log; do [ -f "$f" ] && { echo "== $f"; cat "$f"; }; done; exit 1; }
# Polls a condition every 0.2 s for up to $1 seconds.
until_true() { local n=$(( $1 * 5 )); shift; while ! "$@"; do n=$((n - 1)); [ $n -gt 0 ] || return 1; sleep 0.2; done; }

mkdir -m 700 "$T/run"
export VELARN_ROOT=$T XDG_RUNTIME_DIR=$T/run TMPDIR=$T LANG=C.UTF-8
unset LC_ALL LC_MESSAGES QT_QPA_PLATFORM WAYLAND_DISPLAY

# -noreset: otherwise the display resets whenever its last client leaves (a
# probe such as xdotool) and refuses a tray host connecting at that moment.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$T/display" 2>"$T/xvfb.log" &
pids+=($!)
until_true 30 test -s "$T/display" || fail "Xvfb did not start"
export DISPLAY=:$(cat "$T/display")
trayer --edge top --align right --widthtype pixel --width 120 --height 24 >"$T/trayer.log" 2>&1 &
pids+=($!)
until_true 30 xdotool search --class trayer >/dev/null || fail "trayer did not start"

# A profile the window may connect with unasked: a trusted authority and the
# credentials saved.
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=ca -days 1 -keyout "$T/ca.key" -out "$T/ca.pem" 2>/dev/null
{
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<profile version="1.0"><host>127.0.0.1</host><port>1</port>'
  printf '<switch>sw</switch><authtype>password</authtype><username>u</username><password>p</password><trust>'
  cat "$T/ca.pem"
  printf '</trust></profile>\n'
} >"$T/p.vln"

# No instance yet: -cmd -exit(0) ends at once and claims nothing.
timeout 60 "$vlngui" -cmd '-exit(0)' || fail "first -cmd -exit(0) exited $?"
[ ! -e "$T/run/Velarn Client" ] || fail "-cmd -exit(0) claimed the instance"

"$vlngui" >"$T/first.log" 2>&1 &
first=$!
pids+=($first)
until_true 60 test -S "$T/run/Velarn Client" || fail "the first instance did not come up"

# The service comes up after the tray client, as at boot: the client keeps
# asking for it without holding up its window thread.
sleep 2
"$kevad" service 2>"$T/kevad.log" &
pids+=($!)
until_true 30 test -S "$T/run/velarn/pipe/kevad" || fail "kevad did not start"

# A relative path means the folder of the start that gave it.
(cd "$T" && timeout 60 "$vlngui" -connect p.vln) || fail "forwarding start exited $?"
# A plain profile leaves ShowConnect on: the login window asks first.
login() { xdotool search --all --onlyvisible --pid "$first" --name 'Login' 2>/dev/null | head -1; }
has_login() { test -n "$(login)"; }
until_true 60 has_login || fail "the first instance showed no login window"
xdotool windowfocus --sync "$(login)" key ctrl+a type p
xdotool key Return
until_true 60 grep -q "connecting to 127.0.0.1:1" "$T/var/lib/Velarn/kevad.log" ||
  fail "the first instance did not connect with the forwarded profile"

"$vlngui" >"$T/second.log" 2>&1 &
second=$!
pids+=($second)
box() { xdotool search --all --onlyvisible --pid "$second" --name 'Velarn' 2>/dev/null | head -1; }
has_box() { test -n "$(box)"; }
until_true 60 has_box || fail "a plain second start showed no message"
[ "$(xdotool getwindowname "$(box)")" = "Velarn Travix" ] || fail "unexpected window title"
xdotool windowfocus --sync "$(box)" key Return
wait "$second" || fail "plain second start exited $?"
kill -0 "$first" || fail "the first instance ended too"

timeout 60 "$vlngui" -cmd '-exit(0)' || fail "forwarded -cmd -exit(0) exited $?"
rc=0; wait "$first" || rc=$?
[ $rc = 0 ] || fail "the running instance ended with $rc"
echo "two instances: 1 passed, 0 failed"
