#!/usr/bin/env bash
# User-space instructions per round trip, the figure that moves when work is added to the session
# path without a system call (an event or signal per message, an allocation, a scan): each server
# runs under callgrind, its counters are zeroed once it listens, osk_loadgen drives N sessions (rtt
# mode), and the instructions counted up to the end of the load are divided by the round trips.
# The system calls themselves are bench/syscalls_per_round_trip.sh's figure.
#
# usage: bench/instructions_per_round_trip.sh [BUILD_DIR] [N] [SECONDS]   (defaults: build, 16, 4)
# Prints one line per server: name, round trips, instructions per round trip. Needs valgrind.
# Every process started here is stopped by its PID.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
connections=${2:-16}
seconds=${3:-4}
work=$(mktemp -d)
server=""
cleanup() {
    [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/server_setup.sh"

# $1 name, rest the command with {port} and {home}.
measure() {
    local name=$1
    shift
    local port home command
    port=$(free_port)
    home="$work/$name" && program_folder "$home" "$port"
    server_command "$port" "$home" "$@"
    valgrind --tool=callgrind --callgrind-out-file="$work/$name.%p.out" "${command[@]}" >/dev/null 2>&1 &
    server=$!
    local i
    for ((i = 0; i < 300; i++)); do
        accepts "$port" && break
        sleep 0.1
    done
    ((i < 300)) || { echo "$name did not start" >&2; exit 1; }
    callgrind_control --zero "$server" >/dev/null
    local line round_trips
    line=$("$build/bench/osk_loadgen" --port "$port" --connections "$connections" --warmup 0 \
        --seconds "$seconds" --timeout 30 --setup-timeout 120 | tail -n 1)
    callgrind_control --dump=loaded "$server" >/dev/null
    kill "$server"
    wait "$server" 2>/dev/null || true
    server=""
    round_trips=$(sed -n 's/.* round_trips=\([0-9]*\).*/\1/p' <<<"$line")
    # The dump made after the load; the one written at exit comes later and is not read.
    local dump instructions
    dump=$(grep -l '^desc: Trigger: dump loaded' "$work/$name".*.out* | head -n 1)
    instructions=$(sed -n 's/^summary: \([0-9]*\).*/\1/p' "$dump")
    printf '%-12s N=%-4s round trips %-8s instructions per round trip %.0f\n' "$name" "$connections" \
        "$round_trips" "$(awk -v i="$instructions" -v r="$round_trips" 'BEGIN { print i / r }')"
}

measure oskserverd "$build/src/app/oskserverd" --home "{home}"
measure baseline "$build/bench/osk_epoll_baseline" --port "{port}"
