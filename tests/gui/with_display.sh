#!/usr/bin/env bash
# Runs a window test on a private virtual X server, so that the tests neither need nor disturb a
# desktop. Xvfb picks a free display itself (-displayfd), so parallel runs cannot collide. With
# no Xvfb it falls back to xvfb-run, then to whatever display there is; with none the tests skip.
# -noreset: a server whose last client leaves resets, and for that moment takes no connections.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
# The X and font libraries keep caches for the life of the process.
export LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done

if command -v Xvfb >/dev/null 2>&1; then
    coproc XVFB { exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset 2>/dev/null; }
    number=""
    read -r -t 30 number <&"${XVFB[0]}"
    if [ -n "$number" ]; then
        DISPLAY=":$number" "$@"
        status=$?
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        exit "$status"
    fi
    kill "$XVFB_PID" 2>/dev/null
fi
if command -v xvfb-run >/dev/null 2>&1; then
    exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$@"
fi
exec "$@"
