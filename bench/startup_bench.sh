#!/usr/bin/env bash
# Start-up times, printed as a Markdown section: the headless service from its start to a port
# that accepts connections, and the desktop console from its start to a first painted main window,
# both on the embedded engine in a fresh program folder each run. The console runs on a virtual
# X display of its own (Xvfb), or on the offscreen platform where there is no Xvfb.
#
# usage: bench/startup_bench.sh [BUILD_DIR] [RUNS]   (defaults: build-bench next to bench/, 7)
# Every process started here is stopped by its PID.

set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=$(cd "${1:-$script_dir/../build-bench}" && pwd)
runs=${2:-7}
daemon=$build_dir/src/app/oskserverd
console=$build_dir/bench/osk_console_startup
port=31733

work=$(mktemp -d)
xvfb_pid=
cleanup() {
    if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

fresh_folder() {
    rm -rf "$work/home" && mkdir -p "$work/home"
    printf '[Main]\r\nPort=%d\r\n' "$port" >"$work/home/OskServer.INI"
}

now_ns() { date +%s%N; }

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

headless_ms=()
for ((i = 1; i <= runs; i++)); do
    fresh_folder
    start=$(now_ns)
    "$daemon" --home "$work/home" >/dev/null 2>&1 &
    pid=$!
    # Bounded: 10 s of attempts at most.
    for ((try = 0; try < 100000; try++)); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
        if (($(now_ns) - start > 10000000000)); then break; fi
    done
    headless_ms+=("$(( ($(now_ns) - start) / 1000000 ))")
    kill -TERM "$pid" && wait "$pid" || true
done

platform=offscreen
if command -v Xvfb >/dev/null; then
    for display in $(seq 90 120); do
        [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]] && continue
        Xvfb ":$display" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        sleep 1
        export DISPLAY=":$display"
        platform="xcb on Xvfb"
        break
    done
fi
[[ $platform == offscreen ]] && export QT_QPA_PLATFORM=offscreen

console_ms=()
for ((i = 1; i <= runs; i++)); do
    fresh_folder
    start=$(now_ns)
    painted=$("$console" "$work/home" 2>/dev/null | sed -n 's/^first_paint_ns=//p')
    console_ms+=("$(( (painted - start) / 1000000 ))")
done

echo "## Start-up"
echo
echo "\`bench/startup_bench.sh\`: $runs runs each, a fresh program folder on the embedded engine every"
echo "run. The service counts from its start to a port that accepts a connection; the console from its"
echo "start to the first paint of its main window ($platform), splash and database list included."
echo "Goal: the console's main window painted in under 1 s."
echo
echo "| | median ms | runs ms | result |"
echo "|---|---|---|---|"
echo "| oskserverd, listening | $(median "${headless_ms[@]}") | ${headless_ms[*]} | |"
med=$(median "${console_ms[@]}")
verdict=$(awk -v m="$med" 'BEGIN {print (m < 1000) ? "pass" : "FAIL"}')
echo "| oskserver, main window painted | $med | ${console_ms[*]} | $verdict |"
