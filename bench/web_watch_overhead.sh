#!/usr/bin/env bash
# What an open web administration costs the session path: the server's CPU time per round trip
# with a WebSocket state watch and a log follow attached, against the same without them.
#
# Each pair starts two oskserverd afresh, each in its own program folder with the web
# administration on (its own port) and the same web user, and attaches osk_web_watcher to one of
# them (the first in odd pairs, the second in even ones). One osk_loadgen run loads both in
# alternating phases (bench/README.md) with N = 16 sessions in the rtt mode, and a second one in
# the accept mode, whose every connection writes event-log lines for the log follow to carry.
# Prints a Markdown section with the per-pair ratios watched / unwatched of the server's CPU time
# per round trip (per connection in the accept mode), their median and range, what the watcher
# received and every raw line.
# Nothing is built here; every process started is stopped by its PID.

set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/web_watch_overhead.sh [options] [BUILD_DIR] [PAIRS]

BUILD_DIR (or $BUILD_DIR) holds the built tree (default: build next to bench/), with
src/app/oskserverd, src/app/oskserverctl, bench/osk_loadgen and bench/osk_web_watcher.
PAIRS: pairs of servers (default 5).

  --seconds S    measured seconds per side and measurement (default 6)
  --warmup S     warm-up seconds per side and measurement (default 2)
  --phase S      length of the alternating phases (default 0.25)
  --no-accept    only the rtt measurement
  --control      attach no watcher: the "watched" side is only the one it would have been,
                 so that the ratios show what the method itself gives for two equal servers
  --no-pin       let the scheduler place the processes (default: servers on CPU 0, load
                 generator and watcher on CPU 1)
  --port-base P  first port tried (default 31000; 1000 ports are tried)
EOF
}

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$script_dir")
invocation="bench/web_watch_overhead.sh$(printf ' %q' "$@")"

build_dir=${BUILD_DIR:-} pairs=""
seconds=6 warmup=2 phase_seconds=0.25 with_accept=1 pin=1 port_base=31000 control=0
while [[ $# -gt 0 ]]; do
    case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --warmup) warmup=$2; shift 2 ;;
    --phase) phase_seconds=$2; shift 2 ;;
    --no-accept) with_accept=0; shift ;;
    --control) control=1; shift ;;
    --no-pin) pin=0; shift ;;
    --port-base) port_base=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "web_watch_overhead.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *)
        if [[ -z $build_dir ]]; then build_dir=$1; else pairs=$1; fi
        shift
        ;;
    esac
done
pairs=${pairs:-5}
build_dir=$(cd "${build_dir:-$repo_dir/build}" && pwd)

readonly connections=16
readonly accept_in_flight=32
readonly web_user=ana
readonly web_password=secreto123
readonly start_timeout_ticks=200 # x 0.05 s
readonly stop_timeout_ticks=100  # x 0.1 s
readonly ready_timeout_ticks=400 # x 0.05 s

server=$build_dir/src/app/oskserverd
ctl=$build_dir/src/app/oskserverctl
loadgen=$build_dir/bench/osk_loadgen
watcher=$build_dir/bench/osk_web_watcher
for exe in "$server" "$ctl" "$loadgen" "$watcher"; do
    [[ -x $exe ]] || { echo "web_watch_overhead.sh: $exe is missing (build it first)" >&2; exit 1; }
done

pin_server=() pin_client=() placement="not pinned"
if [[ $pin == 1 ]] && (($(nproc) >= 2)) && command -v taskset >/dev/null; then
    pin_server=(taskset -c 0) pin_client=(taskset -c 1)
    placement="servers on CPU 0, load generator and watcher on CPU 1"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/osk-webwatch.XXXXXX")
raw=$work/raw.txt
: >"$raw"
declare -A server_pid server_port web_port server_home
loadgen_pid="" watcher_pid=""
next_port=$port_base

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "error: $*"; exit 1; }

stop_status=0
stop_pid() {
    local pid=$1 ticks=0
    stop_status=0
    kill -TERM "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null && ((ticks < stop_timeout_ticks)); do
        sleep 0.1
        ticks=$((ticks + 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        log "warning: PID $pid ignored SIGTERM for $((stop_timeout_ticks / 10)) s; sending SIGKILL"
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || stop_status=$?
}

cleanup() {
    local side
    [[ -z $loadgen_pid ]] || stop_pid "$loadgen_pid"
    [[ -z $watcher_pid ]] || stop_pid "$watcher_pid"
    for side in "${!server_pid[@]}"; do
        stop_pid "${server_pid[$side]}"
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

listening() { ss -Htln "sport = :$1" 2>/dev/null | grep -q .; }

take_port() {
    while listening "$next_port"; do
        next_port=$((next_port + 1))
        ((next_port < port_base + 1000)) || die "no free port in $port_base..$((port_base + 999))"
    done
    taken_port=$next_port
    next_port=$((next_port + 1))
}

# start_server a|b: fresh program folder with the web administration on, both ports listening,
# the web user added.
start_server() {
    local side=$1 pid home ticks port web
    take_port
    port=$taken_port
    take_port
    web=$taken_port
    home=$(mktemp -d "$work/home.XXXXXX")
    printf '[Main]\r\nPort=%s\r\n[Web]\r\nEnabled=1\r\nPort=%s\r\n' "$port" "$web" >"$home/OskServer.INI"
    # Every log line is copied to stdout: at these rates a file would grow by hundreds of MB.
    "${pin_server[@]}" "$server" --home "$home" >/dev/null 2>"$home/stderr.log" &
    pid=$!
    server_pid[$side]=$pid server_port[$side]=$port web_port[$side]=$web server_home[$side]=$home
    for ((ticks = 0; ticks < start_timeout_ticks; ticks++)); do
        kill -0 "$pid" 2>/dev/null || break
        if listening "$port" && listening "$web"; then
            echo "$web_password" | timeout 30 "$ctl" --home "$home" web-user add "$web_user" >"$home/ctl.out" 2>&1 ||
                die "$side: web-user add failed: $(cat "$home/ctl.out")"
            return 0
        fi
        sleep 0.05
    done
    die "$side did not listen on $port and $web: $(tail -n 5 "$home/stderr.log")"
}

stop_server() {
    local side=$1
    stop_pid "${server_pid[$side]}"
    unset "server_pid[$side]"
    if [[ $stop_status != 0 ]]; then
        log "warning: $side exited with status $stop_status after SIGTERM"
        echo "server $side exit status after SIGTERM: $stop_status" >>"$raw"
    fi
    rm -rf "${server_home[$side]}"
}

field() { # field KEY LINE
    local value
    value=$(tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p")
    [[ -n $value ]] || die "no $1 in: $2"
    echo "$value"
}

# attach side: the watcher logs in to side's web port and streams both sockets.
attach() {
    local side=$1 ticks
    : >"$work/watch.out"
    echo "$web_password" | "${pin_client[@]}" "$watcher" --port "${web_port[$side]}" --user "$web_user" \
        >"$work/watch.out" 2>"$work/watch.err" &
    watcher_pid=$!
    for ((ticks = 0; ticks < ready_timeout_ticks; ticks++)); do
        grep -q '^ready' "$work/watch.out" && return 0
        kill -0 "$watcher_pid" 2>/dev/null || break
        sleep 0.05
    done
    die "the watcher did not stream from $side: $(cat "$work/watch.out" "$work/watch.err")"
}

# snapshot: the watcher's counts so far (its last web_watcher_now line).
snapshot() {
    local before ticks
    if [[ $control == 1 ]]; then
        echo "web_watcher_now state_events=0 log_events=0 watch_bytes=0 log_bytes=0"
        return 0
    fi
    before=$(grep -c '^web_watcher_now' "$work/watch.out" || true)
    kill -0 "$watcher_pid" 2>/dev/null || die "the watcher ended early: $(cat "$work/watch.out" "$work/watch.err")"
    kill -USR1 "$watcher_pid"
    for ((ticks = 0; ticks < 100; ticks++)); do
        (($(grep -c '^web_watcher_now' "$work/watch.out" || true) > before)) && break
        sleep 0.05
    done
    grep '^web_watcher_now' "$work/watch.out" | tail -n 1
}

declare -A R # R[metric,pair]
declare -A result

# run_loadgen pair args...: one osk_loadgen run over both servers, a first; result[a], result[b].
run_loadgen() {
    local pair=$1 side
    shift
    sleep 0.5
    "${pin_client[@]}" "$loadgen" --port "${server_port[a]}" --pid "${server_pid[a]}" \
        --port2 "${server_port[b]}" --pid2 "${server_pid[b]}" --phase "$phase_seconds" \
        --warmup "$warmup" --seconds "$seconds" "$@" >"$work/run.out" 2>>"$work/loadgen.err" &
    loadgen_pid=$!
    wait "$loadgen_pid" || true
    loadgen_pid=""
    for side in a b; do
        result[$side]=$(grep "^mode=[a-z]* port=${server_port[$side]} " "$work/run.out" || true)
        [[ -n ${result[$side]} ]] || die "osk_loadgen $* against $side gave no result: $(tail -n 3 "$work/loadgen.err")"
        printf 'server=%s watched=%s pair=%s %s\n' "$side" "$([[ $side == "$watched" ]] && echo yes || echo no)" \
            "$pair" "${result[$side]}" >>"$raw"
        R[errors,$pair]=$((${R[errors,$pair]:-0} + $(field errors "${result[$side]}")))
    done
}

# measure pair mode rate_key: server CPU µs per unit for the watched and the unwatched side.
measure() {
    local pair=$1 mode=$2 key=$3 side role line cpu rate
    shift 3
    run_loadgen "$pair" --mode "$mode" "$@"
    for side in a b; do
        if [[ $side == "$watched" ]]; then role=watched; else role=plain; fi
        line=${result[$side]}
        cpu=$(field server_cpu_pct "$line")
        rate=$(field "$key" "$line")
        R[$mode,$role,rate,$pair]=$rate
        R[$mode,$role,cpu,$pair]=$cpu
        R[$mode,$role,us,$pair]=$(awk -v c="$cpu" -v r="$rate" 'BEGIN { printf "%.3f", (r > 0) ? c * 1e4 / r : 0 }')
    done
    R[$mode,ratio,$pair]=$(awk -v a="${R[$mode,watched,us,$pair]}" -v b="${R[$mode,plain,us,$pair]}" \
        'BEGIN { printf "%.4f", (b > 0) ? a / b : 0 }')
}

# counts_between key before after: a watcher count's growth between two of its lines.
counts_between() { echo $(($(field "$1" "$3") - $(field "$1" "$2"))); }

uptime_before=$(uptime)
started=$(date +%s)
for ((pair = 1; pair <= pairs; pair++)); do
    if ((pair % 2)); then watched=a; else watched=b; fi
    log "pair $pair/$pairs: watcher on $watched"
    start_server a
    start_server b
    [[ $control == 1 ]] || attach "$watched"
    at_ready=$(snapshot)
    measure "$pair" rtt round_trips_per_s --connections "$connections"
    after_rtt=$(snapshot)
    for key in state_events log_events watch_bytes log_bytes; do
        R[rtt,$key,$pair]=$(counts_between "$key" "$at_ready" "$after_rtt")
    done
    if [[ $with_accept == 1 ]]; then
        measure "$pair" accept connections_per_s --connections "$accept_in_flight"
        after_accept=$(snapshot)
        for key in state_events log_events watch_bytes log_bytes; do
            R[accept,$key,$pair]=$(counts_between "$key" "$after_rtt" "$after_accept")
        done
    fi
    if [[ $control == 0 ]]; then
        kill -0 "$watcher_pid" 2>/dev/null || die "the watcher ended early: $(cat "$work/watch.out" "$work/watch.err")"
        stop_pid "$watcher_pid"
        watcher_pid=""
        watcher_status=$stop_status
        final=$(grep '^web_watcher ' "$work/watch.out" || echo "web_watcher (no final line)")
        printf 'pair=%s watched=%s %s exit=%s\n' "$pair" "$watched" "$final" "$watcher_status" >>"$raw"
        if [[ $watcher_status != 0 ]]; then
            log "warning: the watcher exited $watcher_status: $(cat "$work/watch.err")"
            R[watcher_failures]=$((${R[watcher_failures]:-0} + 1))
            cat "$work/watch.err" >>"$raw"
        fi
    fi
    stop_server a
    stop_server b
done
elapsed=$(($(date +%s) - started))
uptime_after=$(uptime)
log "measured in $elapsed s"

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
range() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f–%.3f\n", lo, hi }'; }
column() { # column mode metric: one value per pair
    local p
    for ((p = 1; p <= pairs; p++)); do echo "${R[$1,$2,$p]}"; done
}
verdict() { awk -v m="$1" -v t="$2" 'BEGIN { if (m <= t) print "pass"; else printf "fail (over by %.3f×)\n", m - t }'; }

modes=(rtt)
[[ $with_accept == 0 ]] || modes+=(accept)
commit=$(git -C "$repo_dir" rev-parse --short HEAD 2>/dev/null || echo unknown)
if ! git -C "$repo_dir" diff --quiet HEAD -- src bench 2>/dev/null; then
    commit="$commit (with uncommitted changes under src/ or bench/)"
fi
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)

echo "| | |"
echo "|---|---|"
echo "| date | $(date -u '+%Y-%m-%d %H:%M UTC') |"
echo "| machine | $(nproc) CPUs (nproc), ${cpu_model:-unknown CPU}, Linux $(uname -r) |"
echo "| command | \`$invocation\` |"
echo "| commit | $commit |"
echo "| runs | $pairs pairs; each measurement ${warmup} s warm-up + ${seconds} s measured per side in phases of $phase_seconds s; rtt N = $connections, accept $accept_in_flight in flight; $elapsed s in all |"
echo "| placement | $placement |"
[[ $control == 0 ]] || echo "| control | no watcher attached: \"watched\" is only the side it would have been |"
echo "| load average before / after | ${uptime_before##*load average: } / ${uptime_after##*load average: } |"
echo
echo "| measurement | goal | measured (median watched / unwatched) | pairs | result |"
echo "|---|---|---|---|---|"
for mode in "${modes[@]}"; do
    mapfile -t ratios < <(column "$mode" ratio)
    med=$(median "${ratios[@]}")
    if [[ $mode == rtt ]]; then
        echo "| server CPU per round trip, rtt N = $connections | ≤ 1.05× | $(awk -v m="$med" 'BEGIN { printf "%.3f", m }')× | $(range "${ratios[@]}") | $(verdict "$med" 1.05) |"
    else
        echo "| server CPU per connection, accept ($accept_in_flight in flight) | (no goal) | $(awk -v m="$med" 'BEGIN { printf "%.3f", m }')× | $(range "${ratios[@]}") | — |"
    fi
done
echo
errors=0
for ((p = 1; p <= pairs; p++)); do errors=$((errors + ${R[errors,$p]:-0})); done
echo "Load generator errors (failed connects, resets, late replies): $errors. Watcher runs that ended with an early close or an error: ${R[watcher_failures]:-0}."
echo
for mode in "${modes[@]}"; do
    if [[ $mode == rtt ]]; then unit="round trips/s" per="µs per round trip"; else unit="connections/s" per="µs per connection"; fi
    echo "#### $mode"
    echo
    echo "| pair | watched | watched $unit | CPU % | $per | unwatched $unit | CPU % | $per | ratio | state events | log events | bytes to the watcher |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
    for ((p = 1; p <= pairs; p++)); do
        if ((p % 2)); then w=first; else w=second; fi
        echo "| $p | $w | ${R[$mode,watched,rate,$p]} | ${R[$mode,watched,cpu,$p]} | ${R[$mode,watched,us,$p]} | ${R[$mode,plain,rate,$p]} | ${R[$mode,plain,cpu,$p]} | ${R[$mode,plain,us,$p]} | ${R[$mode,ratio,$p]}× | ${R[$mode,state_events,$p]} | ${R[$mode,log_events,$p]} | $((${R[$mode,watch_bytes,$p]} + ${R[$mode,log_bytes,$p]})) |"
    done
    mapfile -t ratios < <(column "$mode" ratio)
    mapfile -t wus < <(column "$mode" watched,us)
    mapfile -t pus < <(column "$mode" plain,us)
    echo "| **median** | | | | $(median "${wus[@]}") | | | $(median "${pus[@]}") | $(median "${ratios[@]}")× | | | |"
    echo
done
echo "Raw lines:"
echo
echo '```'
cat "$raw"
echo '```'
