#!/usr/bin/env bash
# How long `oskserverctl status` takes against a running oskserverd, from the tool's start to its
# exit (process start, connection, request, reply, output), on the embedded engine in a fresh
# program folder, with two validated clients connected. Printed as one Markdown table row.
#
# usage: bench/ctl_status_bench.sh [BUILD_DIR] [RUNS]   (defaults: build next to bench/, 200)
# The one server started here is stopped by its PID.

set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=$(cd "${1:-$script_dir/../build}" && pwd)
runs=${2:-200}
daemon=$build_dir/src/app/oskserverd
ctl=$build_dir/src/app/oskserverctl
port=31743

work=$(mktemp -d)
server_pid=
cleanup() {
    if [[ -n $server_pid ]]; then kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home"
printf '[Main]\r\nPort=%d\r\n' "$port" >"$work/home/OskServer.INI"
"$daemon" --home "$work/home" >"${BENCH_SERVER_LOG:-/dev/null}" 2>&1 &
server_pid=$!
# Bounded: 10 s at most for the service to listen.
for ((try = 0; try < 100; try++)); do
    if [[ -S $work/home/oskserver.sock ]] && (exec 5<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
    sleep 0.1
done

# Two clients with a session and a user, held open for the whole run. Each starts its session
# before the next connects: a connection still waiting for its session start holds a slot that
# the server counts as free.
exec 3<>"/dev/tcp/127.0.0.1/$port"
sleep 0.2; printf 'Osk2' >&3; sleep 0.2
exec 4<>"/dev/tcp/127.0.0.2/$port"
sleep 0.2; printf 'Osk2' >&4; sleep 0.2
printf 'USER=ana' >&3; printf 'USER=luis' >&4; sleep 0.2

now_ns() { date +%s%N; }
samples=()
for ((i = 1; i <= runs; i++)); do
    start=$(now_ns)
    "$ctl" --home "$work/home" status >/dev/null
    samples+=("$(( ($(now_ns) - start) / 1000 ))")
done

printf '%s\n' "${samples[@]}" | sort -n | awk -v runs="$runs" '
    {a[NR] = $1}
    END {
        printf "| `oskserverctl status` (%d runs) | min %.1f ms | median %.1f ms | p90 %.1f ms | max %.1f ms |\n",
            runs, a[1] / 1000, a[int((NR + 1) / 2)] / 1000, a[int(NR * 0.9)] / 1000, a[NR] / 1000
    }'
