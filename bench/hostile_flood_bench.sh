#!/usr/bin/env bash
# What hostile clients can make oskserverd hold, printed as a Markdown section: its resident memory
# and the size of its recovery journal before and after two floods, and the lines of the daily log
# after a clean stop, counted against what the floods should have logged.
#
#   1. at least 100,000 connections that read CONNECTED and reset (osk_loadgen --mode accept);
#   2. one validated client that changes its user 1,000 times, each name 60,000 bytes long.
#
# usage: bench/hostile_flood_bench.sh [BUILD_DIR] [RUNS]   (defaults: build-bench next to bench/, 3)
# Each run uses a fresh program folder on a free loopback port; every process started here is
# stopped by its PID.

set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=$(cd "${1:-$script_dir/../build-bench}" && pwd)
runs=${2:-3}
daemon=$build_dir/src/app/oskserverd
loadgen=$build_dir/bench/osk_loadgen
# shellcheck source=server_setup.sh
source "$script_dir/server_setup.sh"

work=$(mktemp -d)
pid=
cleanup() {
    if [[ -n $pid ]]; then kill -TERM "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
journal_kib() { echo $(($(stat -c %s "$1/Log/eventlog.journal" 2>/dev/null || echo 0) / 1024)); }

# change_user PORT: one client from 127.0.0.3 with a session and a user, then 1,000 changes of user.
change_user() {
    python3 - "$1" <<'EOF'
import socket, sys, time
port = int(sys.argv[1])
s = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=("127.0.0.3", 0))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
def expect(text):
    got, deadline = b"", time.monotonic() + 10
    while not got.endswith(text) and time.monotonic() < deadline:
        got += s.recv(4096)
expect(b"CONNECTED")
s.sendall(b"BENCH")
time.sleep(0.2)
s.sendall(b"USER=bench")
expect(b"USER_OK")
# The protocol has no framing: each change must be the whole of one arrival, so each waits until
# the server has surely read the one before.
for i in range(1000):
    s.sendall(b"USER=" + str(i).encode().rjust(6, b"0") + b"n" * (60000 - 6))
    time.sleep(0.02)
s.sendall(b"CLOSE")
expect(b"CLOSED")
s.close()
EOF
}

rows=()
for ((run = 1; run <= runs; run++)); do
    home=$work/home$run
    port=$(free_port)
    program_folder "$home" "$port"
    "$daemon" --home "$home" >"$work/out$run" 2>&1 &
    pid=$!
    for ((try = 0; try < 100; try++)); do
        accepts "$port" && break
        sleep 0.1
    done
    sleep 0.5
    rss0=$(rss_kib "$pid") journal0=$(journal_kib "$home")

    made=0
    for ((round = 0; round < 20 && made < 100000; round++)); do
        line=$("$loadgen" --host 127.0.0.1 --port "$port" --mode accept --connections 16 --warmup 0 --seconds 4)
        made=$((made + $(sed -n 's/.*connections_made=\([0-9]*\).*/\1/p' <<<"$line")))
    done
    sleep 2 # the block saved past the bound, from the event loop
    rss1=$(rss_kib "$pid") journal1=$(journal_kib "$home")

    change_user "$port"
    sleep 2
    rss2=$(rss_kib "$pid") journal2=$(journal_kib "$home")

    kill -TERM "$pid"
    wait "$pid" || true
    pid=
    logs=("$home"/Log/*.log)
    # Every line printed must be in the day's file but the last, the save's own report, which the
    # end of a run never saves; none may be there twice.
    grep -aE '^\[[0-9]{2}:[0-9]{2}:[0-9]{2}\]  ' "$work/out$run" | sort >"$work/printed"
    cat "${logs[@]}" | iconv -f WINDOWS-1252 -t UTF-8 | tr -d '\r' | grep -av '^\[BEGIN \|^\[END \|^$' |
        sort >"$work/saved"
    printed=$(wc -l <"$work/printed")
    lines=$(wc -l <"$work/saved")
    missing=$(comm -23 "$work/printed" "$work/saved" | grep -vc ' creado con éxito\.$' || true)
    extra=$(comm -13 "$work/printed" "$work/saved" | wc -l)
    requests=$(grep -c 'Recibiendo petici' "$work/saved")
    changes=$(grep -c 'Cambiado usuario a \[' "$work/saved")
    longest=$(cat "${logs[@]}" | awk '{ if (length($0) > n) n = length($0) } END { print n }')
    rows+=("| $run | $made | $rss0 | $rss1 (+$((rss1 - rss0))) | $rss2 (+$((rss2 - rss0))) | $journal0 / $journal1 / $journal2 | $printed | $lines | $missing / $extra | $requests | $changes | $longest |")
done

echo "### Hostile floods: memory, journal and lines kept"
echo
echo "$(date -u +%Y-%m-%d), $(nproc) CPUs, $(uname -r), commit $(git -C "$script_dir" rev-parse --short HEAD 2>/dev/null || echo '?'),"
echo "\`bench/hostile_flood_bench.sh $build_dir $runs\`. Resident memory (VmRSS) in KiB: at start, after the"
echo "connect-and-reset flood, after the 1,000 changes of user; journal size in KiB at the same three"
echo "moments; then, after SIGTERM, the lines the service printed while it ran, the lines in the day's"
echo "file (markers left out), the lines printed but not saved (the save's own report left out) and"
echo "saved but not printed, the connection"
echo "requests logged (one per connection made, plus the changing client's), the changes of user"
echo "logged (1,000 sent) and the longest line in bytes."
echo
echo "| run | connections made | RSS start | RSS after resets | RSS after changes | journal KiB | lines printed | lines saved | missing / extra | requests logged | changes logged | longest line |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
