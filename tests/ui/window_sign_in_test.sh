#!/usr/bin/env bash
# `nb login --window` in a real window under Xvfb (started here on a free
# display): the window's first frame is saved and checked, then the user name
# and a non-ASCII password are typed and the login button clicked with
# xdotool; the stored token must then serve `nb info`.
# Usage: window_sign_in_test.sh NB NBSERVER
set -euo pipefail
NB=$1
NBSERVER=$2
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Xvfb on a display number nobody uses.
DISPLAY_NUMBER=""
for _ in $(seq 1 20); do
  n=$((100 + RANDOM % 800))
  [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
  Xvfb ":$n" -noreset -screen 0 640x640x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 1 100); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.05; done
  if [[ -e /tmp/.X11-unix/X$n ]] && kill -0 "${PIDS[-1]}" 2>/dev/null; then DISPLAY_NUMBER=$n; break; fi
done
[[ -n $DISPLAY_NUMBER ]] || fail "Xvfb did not start"
export DISPLAY=":$DISPLAY_NUMBER"
# xdotool types a character missing from the keymap by binding it to a spare
# key for a moment; a window that reads the key event after the binding is
# undone gets no character. So the password's letters get keys of their own
# (kept because -noreset stops Xvfb from restoring its keymap when the last
# client leaves).
xmodmap -e "keycode 248 = adiaeresis Adiaeresis" -e "keycode 230 = odiaeresis Odiaeresis"

# The emulator, with one account.
"$NBSERVER" --dev --data "$WORK/server" >"$WORK/server.env" 2>"$WORK/server.log" &
PIDS+=($!)
for _ in $(seq 1 200); do grep -q NB_DEV_VERIFICATION_CODE "$WORK/server.env" 2>/dev/null && break; sleep 0.05; done
eval "$(cat "$WORK/server.env")"
# Latin letters beyond ASCII: xdotool types them as keysyms that X turns into
# UTF-8 text input (it cannot type CJK into a bare Xvfb without an input method).
PASSWORD='pässwörd'
"$NBSERVER" user add --data "$WORK/server" alice@example.com "$PASSWORD" >/dev/null
export NB_DATA_HOME="$WORK/home" NB_KEYCHAIN=file

# The display drivers that SDL2 loads and unloads keep memory a leak checker
# cannot attribute (an unloaded module): leaks are not counted for this process.
NB_WINDOW_SCREENSHOT="$WORK/login.png" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$NB" login --window >"$WORK/login.out" 2>&1 &
LOGIN=$!
PIDS+=($LOGIN)
WID=$(timeout 20 xdotool search --sync --name '^nb login$' | head -1) || fail "no login window"
for _ in $(seq 1 100); do [[ -s $WORK/login.png ]] && break; sleep 0.05; done
python3 - "$WORK/login.png" <<'PY' || fail "the screenshot is not the login screen"
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n"
width, height = struct.unpack(">II", data[16:24])
assert (width, height) == (320, 480), (width, height)
# The screen is more than one colour: header bar, fields and buttons drawn.
idat, pos = b"", 8
while pos < len(data):
    length, kind = struct.unpack(">I4s", data[pos:pos + 8])
    if kind == b"IDAT": idat += data[pos + 8:pos + 8 + length]
    pos += 12 + length
raw = zlib.decompress(idat)
assert len(set(raw[i:i + 4] for i in range(1, len(raw), 4 * 97))) > 5
PY

# Fields and button of the phone login screen (window coordinates), once the
# window has settled.
sleep 1
xdotool mousemove --window "$WID" 160 116 click 1
xdotool type --delay 20 'alice@example.com'
xdotool mousemove --window "$WID" 160 192 click 1
xdotool type --delay 20 "$PASSWORD"
xdotool mousemove --window "$WID" 160 252 click 1

for _ in $(seq 1 300); do kill -0 $LOGIN 2>/dev/null || break; sleep 0.1; done
if kill -0 $LOGIN 2>/dev/null; then fail "still not signed in: $(cat "$WORK/login.out")"; fi
wait $LOGIN || fail "nb login --window failed: $(cat "$WORK/login.out")"
grep -q "Signed in" "$WORK/login.out" || fail "unexpected output: $(cat "$WORK/login.out")"
"$NB" info >"$WORK/info.out" 2>&1 || fail "nb info after the window sign-in: $(cat "$WORK/info.out")"
grep -q alice@example.com "$WORK/info.out" || fail "nb info: $(cat "$WORK/info.out")"
echo "1 passed, 0 failed"
