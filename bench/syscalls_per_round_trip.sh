#!/usr/bin/env bash
# System calls per round trip, a figure that does not depend on how busy the machine is: each
# server runs under `strace -c -f` while osk_loadgen drives N sessions (rtt mode); the calls of a
# run with no clients (start-up and stop) are subtracted, and the rest divided by the round trips.
#
# usage: bench/syscalls_per_round_trip.sh [BUILD_DIR] [N] [SECONDS]   (defaults: build, 16, 3)
# Prints one line per server: name, round trips, system calls per round trip, and the five most
# frequent calls per round trip. Needs strace. Every process started here is stopped by its PID.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
connections=${2:-16}
seconds=${3:-3}
work=$(mktemp -d)
pid="" server=""
cleanup() {
    # strace holds on to stop signals while it traces: the server is what gets stopped.
    [[ -n $server ]] && kill "$server" 2>/dev/null
    [[ -n $pid ]] && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/server_setup.sh"

# Starts a server under strace; $1 is its name, the rest its command with {port} and {home}.
start() {
    local name=$1 port=$2 home=$3 command
    shift 3
    server_command "$port" "$home" "$@"
    strace -f -c -o "$work/$name.strace" "${command[@]}" >/dev/null 2>&1 &
    pid=$!
    for ((i = 0; i < 100; i++)); do
        server=$(pgrep -P "$pid" | head -n 1 || true)
        [[ -n $server ]] && accepts "$port" && return 0
        sleep 0.1
    done
    echo "$name did not start" >&2
    exit 1
}
stop() {
    kill "$server"
    wait "$pid" 2>/dev/null || true
    pid="" server=""
}
total_calls() { awk '$NF == "total" { print $(NF - 2) }' "$1"; }

# One server: an idle run, then a run under load. $1 name, rest the command.
measure() {
    local name=$1
    shift
    local port home
    port=$(free_port)
    home="$work/$name-idle" && program_folder "$home" "$port"
    start "$name-idle" "$port" "$home" "$@"
    # The probe connection of start() is a client too; one alike in the loaded run cancels it out.
    sleep 1
    stop
    port=$(free_port)
    home="$work/$name" && program_folder "$home" "$port"
    start "$name" "$port" "$home" "$@"
    local line round_trips
    line=$("$build/bench/osk_loadgen" --port "$port" --connections "$connections" --warmup 0.2 --seconds "$seconds" | tail -n 1)
    stop
    round_trips=$(sed -n 's/.* round_trips=\([0-9]*\).*/\1/p' <<<"$line")
    local idle loaded
    idle=$(total_calls "$work/$name-idle.strace")
    loaded=$(total_calls "$work/$name.strace")
    printf '%-12s N=%-4s round trips %-8s system calls per round trip %.2f  (' "$name" "$connections" \
        "$round_trips" "$(awk -v a="$loaded" -v b="$idle" -v r="$round_trips" 'BEGIN { print (a - b) / r }')"
    awk -v r="$round_trips" '/^[ ]*[0-9.]+ +[0-9.]+ +[0-9]+ +[0-9]+/ && $NF != "total" { calls[$NF] = $4 }
        END { n = 0; for (c in calls) order[++n] = c
              for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (calls[order[j]] > calls[order[i]]) { t = order[i]; order[i] = order[j]; order[j] = t }
              for (i = 1; i <= 5 && i <= n; i++) printf "%s%s %.2f", (i > 1 ? ", " : ""), order[i], calls[order[i]] / r }' \
        "$work/$name.strace"
    echo ")"
}

measure oskserverd "$build/src/app/oskserverd" --home "{home}"
measure baseline "$build/bench/osk_epoll_baseline" --port "{port}"
