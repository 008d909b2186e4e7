#!/usr/bin/env bash
# Runs a test program on a virtual X server with a window manager (openbox),
# where windows take the keyboard focus as on a desktop: without one, X gives
# no window the focus and no focus frame is ever drawn.
#   under_window_manager.sh PROGRAM [ARGUMENT...]
# Exits 77 (skipped), saying why, where Xvfb or openbox is missing.
set -u
for tool in Xvfb openbox; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/setup-debian.sh installs it)"
        exit 77
    fi
done
scratch="$(mktemp -d)"
xvfb_pid=""
wm_pid=""
cleanup() {
    [[ -n "$wm_pid" ]] && kill "$wm_pid" 2>/dev/null
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s "$scratch/display" ]] && break
    sleep 0.1
done
if [[ ! -s "$scratch/display" ]]; then
    echo "SKIP: Xvfb did not start: $(cat "$scratch/xvfb.log")"
    exit 77
fi
export DISPLAY=":$(head -n1 "$scratch/display")"
openbox --sm-disable >"$scratch/openbox.log" 2>&1 &
wm_pid=$!
sleep 1
if ! kill -0 "$wm_pid" 2>/dev/null; then
    echo "SKIP: openbox did not start: $(cat "$scratch/openbox.log")"
    exit 77
fi
QT_QPA_PLATFORM=xcb "$@"
