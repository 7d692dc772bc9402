#!/usr/bin/env bash
# User-space instructions per round trip of oskserverd with the web administration on, without
# and with osk_web_watcher attached (a state watch and a log follow), under callgrind: the figure
# that shows work added to the session path whatever the machine's load. Counters are zeroed once
# the watcher streams (or, without it, once the web user is added), then osk_loadgen --mode rtt
# runs for SECONDS and the counters are dumped.
#
#   bench/web_watch_instructions.sh build 16 4     # BUILD_DIR, N, seconds
#
# With KEEP_DUMPS=DIR the two dumps are copied there, for callgrind_annotate.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
connections=${2:-16}
seconds=${3:-4}
work=$(mktemp -d)
server="" watcher=""
cleanup() {
    [[ -z $watcher ]] || { kill "$watcher" 2>/dev/null && wait "$watcher" 2>/dev/null; }
    [[ -z $server ]] || { kill "$server" 2>/dev/null && wait "$server" 2>/dev/null; }
    rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/server_setup.sh"

measure() {
    local name=$1 attach=$2 port web home i line round_trips dump instructions
    port=$(free_port)
    web=$(free_port)
    home="$work/$name"
    mkdir -p "$home"
    printf '[Main]\r\nPort=%s\r\n[Web]\r\nEnabled=1\r\nPort=%s\r\n' "$port" "$web" >"$home/OskServer.INI"
    valgrind --tool=callgrind --callgrind-out-file="$work/$name.%p.out" "$build/src/app/oskserverd" \
        --home "$home" >/dev/null 2>&1 &
    server=$!
    for ((i = 0; i < 300; i++)); do
        accepts "$port" && accepts "$web" && break
        sleep 0.1
    done
    ((i < 300)) || { echo "$name did not start" >&2; exit 1; }
    echo secreto123 | timeout 120 "$build/src/app/oskserverctl" --home "$home" web-user add ana >/dev/null
    if [[ $attach == 1 ]]; then
        echo secreto123 | "$build/bench/osk_web_watcher" --port "$web" --user ana >"$work/watch.out" 2>&1 &
        watcher=$!
        for ((i = 0; i < 600; i++)); do
            grep -q '^ready' "$work/watch.out" && break
            kill -0 "$watcher" 2>/dev/null || break
            sleep 0.1
        done
        grep -q '^ready' "$work/watch.out" || { echo "the watcher did not stream: $(cat "$work/watch.out")" >&2; exit 1; }
    fi
    callgrind_control --zero "$server" >/dev/null 2>&1
    line=$("$build/bench/osk_loadgen" --port "$port" --connections "$connections" --warmup 0 \
        --seconds "$seconds" --timeout 30 --setup-timeout 120 | tail -n 1)
    callgrind_control --dump=loaded "$server" >/dev/null 2>&1
    if [[ $attach == 1 ]]; then
        kill "$watcher"
        wait "$watcher" || { echo "the watcher ended with an error: $(cat "$work/watch.out")" >&2; exit 1; }
        watcher=""
    fi
    kill "$server"
    wait "$server" 2>/dev/null || true
    server=""
    round_trips=$(sed -n 's/.* round_trips=\([0-9]*\).*/\1/p' <<<"$line")
    dump=$(grep -l '^desc: Trigger: dump loaded' "$work/$name".*.out* | head -n 1)
    instructions=$(sed -n 's/^summary: \([0-9]*\).*/\1/p' "$dump")
    [[ -z ${KEEP_DUMPS:-} ]] || cp "$dump" "$KEEP_DUMPS/$name.callgrind.out"
    printf '%-9s N=%-4s round trips %-8s instructions per round trip %.0f\n' "$name" "$connections" \
        "$round_trips" "$(awk -v i="$instructions" -v r="$round_trips" 'BEGIN { print i / r }')"
    [[ $attach == 0 ]] || grep '^web_watcher ' "$work/watch.out"
}

measure plain 0
measure watched 1
