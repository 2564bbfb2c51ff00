#!/bin/bash
# Runs the Windows test executables of a wine build folder under Wine: first the
# core without any X display, then everything with a private Xvfb. The prefix is
# private to the build folder; Xvfb and the prefix's wineserver end on every exit path.
# Usage: tests/wine/run.sh WINE_BUILD [LINUX_TESTS]
#   WINE_BUILD   the folder with the windows/ and sim/ builds (make wine-build)
#   LINUX_TESTS  vistrel_tests of the Linux build, for its timer figures beside Wine's
set -euo pipefail

build=$(cd "$1" && pwd)
linux_tests=${2:-}
# Debian's wine64 package puts its loader outside PATH.
first_of() {
    for candidate in "$@"; do
        if [ -x "$candidate" ]; then echo "$candidate"; return; fi
        if command -v "$candidate" >/dev/null; then command -v "$candidate"; return; fi
    done
    echo "none of $* found (make deps installs wine64)" >&2
    exit 1
}
wine=$(first_of /usr/lib/wine/wine64 /usr/lib/wine/wine wine64 wine)
wineserver=$(first_of /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver wineserver64 wineserver)

# No Mono or Gecko prompts, and no crash debugger: it would wait for ever, so a crash
# ends the executable with its exception code instead.
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
scratch=$(mktemp -d)
xvfb_pid=

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    rm -rf "$scratch"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs one executable under Wine and prints its output with Unix line ends; fails when
# it does, crashes or hangs. In the background, so that a signal ends the run at once.
run() {
    local exe=$build/$1.exe
    shift
    echo "== $(basename "$exe") $*"
    local status=0
    timeout -k 10 900 "$wine" "$exe" "$@" >"$scratch/last.raw" 2>&1 &
    wait $! || status=$?
    tr -d '\r' <"$scratch/last.raw" | tee "$scratch/last.log"
    return "$status"
}

# Without a display the factory fails; the case skips itself when a display exists, so
# a skip here means the display was not gone.
(unset DISPLAY WAYLAND_DISPLAY; run windows/vistrel_dxgi_tests --gtest_filter='WithoutDisplay.*')
if grep -q SKIPPED "$scratch/last.log"; then
    echo "WithoutDisplay ran with a display" >&2
    exit 1
fi
# Wine's desktop process keeps the display it started with: begin afresh for the X server.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    grep -q . "$scratch/display" 2>/dev/null && break
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$scratch/xvfb.log" >&2; exit 1; }
    sleep 0.1
done
display=$(head -n1 "$scratch/display")
[ -n "$display" ] || { echo "Xvfb gave no display" >&2; exit 1; }
export DISPLAY=":$display"

run windows/vistrel_os_tests --gtest_brief=1
wine_lateness=$(grep '^timer lateness' "$scratch/last.log" || true)
run windows/vistrel_dxgi_tests --gtest_brief=1 --gtest_filter='-WithoutDisplay.*'
run sim/vistrel_sim_tests --gtest_brief=1

if [ -n "$linux_tests" ] && [ -x "$linux_tests" ]; then
    linux_lateness=$("$linux_tests" --gtest_filter='OsTimer.NeverEarly*' | grep '^timer lateness' || true)
    echo "Linux: $linux_lateness"
fi
echo "Wine:  $wine_lateness"
