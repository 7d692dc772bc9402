#!/usr/bin/env bash
# Measures oskserverd against the epoll baseline, side by side, and writes docs/PERFORMANCE.md.
#
# Each pair starts oskserverd and the baseline, each in a fresh program folder on a free port, and
# measures both: resident memory at start and with 255 sessions, round trips at N = 1, 16 and 255
# connections, and the accept rate. Each rate is measured by one osk_loadgen run that holds both
# servers' connections and loads them in alternating phases of a quarter of a second, first side,
# second, second, first, and so on (which side is first alternates between pairs), so that a
# drift of the machine falls on both sides alike. Goals are judged on the medians of the per-pair
# ratios.
# Nothing is built here; every process started is stopped by its PID.

set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/run_bench.sh [options] [BUILD_DIR]

BUILD_DIR (or $BUILD_DIR) holds the built tree; default: build-bench next to bench/.
It must contain bench/osk_loadgen, bench/osk_epoll_baseline and, unless --server-cmd is
given, src/app/oskserverd.

  --server-cmd CMD  command line of the server under test (also $OSKSERVERD); {home} and
                    {port} are replaced by its program folder and port. The folder always
                    gets OskServer.INI with [Main] Port=<port>.
                    Default: "<BUILD_DIR>/src/app/oskserverd --home {home}"
  --pairs N         pairs of runs (default 5, at least 5 for a report of record)
  --seconds S       measured seconds per side and measurement (default 6)
  --warmup S        warm-up seconds per side and measurement (default 2)
  --phase S         length of the alternating phases (default 0.25)
  --quick           2 pairs of 3 s after 1 s of warm-up, to check that everything works
  --no-pin          let the scheduler place the processes (default: server on CPU 0, load
                    generator on CPU 1, when there are two CPUs or more and taskset exists)
  --out FILE        report to write (default docs/PERFORMANCE.md)
  --port-base P     first port tried for the servers (default 30000, below the ephemeral
                    port range, so that no client socket holds it; 1000 ports are tried)
EOF
}

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$script_dir")
invocation="bench/run_bench.sh$(printf ' %q' "$@")"
if [[ -n ${OSKSERVERD:-} ]]; then
    invocation="OSKSERVERD=$(printf '%q' "$OSKSERVERD") $invocation"
fi

build_dir=${BUILD_DIR:-}
server_cmd=${OSKSERVERD:-}
pairs="" seconds="" warmup="" quick=0 phase_seconds=0.25
out="$repo_dir/docs/PERFORMANCE.md"
port_base=30000
pin=1
while [[ $# -gt 0 ]]; do
    case $1 in
    --server-cmd) server_cmd=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --warmup) warmup=$2; shift 2 ;;
    --phase) phase_seconds=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    --no-pin) pin=0; shift ;;
    --out) out=$2; shift 2 ;;
    --port-base) port_base=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "run_bench.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) build_dir=$1; shift ;;
    esac
done
if [[ $quick == 1 ]]; then
    pairs=${pairs:-2} seconds=${seconds:-3} warmup=${warmup:-1}
fi
pairs=${pairs:-5} seconds=${seconds:-6} warmup=${warmup:-2}
build_dir=$(cd "${build_dir:-$repo_dir/build-bench}" && pwd)
server_cmd=${server_cmd:-"$build_dir/src/app/oskserverd --home {home}"}

readonly sessions=255          # the server's maximum of concurrent users
readonly rtt_sizes=(1 16 255)
readonly accept_in_flight=32
readonly hold_seconds=3
readonly start_timeout_ticks=200 # x 0.05 s
readonly stop_timeout_ticks=100  # x 0.1 s

loadgen=$build_dir/bench/osk_loadgen
baseline=$build_dir/bench/osk_epoll_baseline
read -r -a server_argv0 <<<"$server_cmd"
for exe in "$loadgen" "$baseline" "${server_argv0[0]}"; do
    if [[ ! -x $exe ]]; then
        echo "run_bench.sh: $exe is missing or not executable (build it first)" >&2
        exit 1
    fi
done

# Where the two ends of a round trip run changes its latency several-fold (a wake-up on the same
# CPU against one across CPUs), so both are pinned, to different CPUs, unless told otherwise.
pin_server=() pin_loadgen=() placement="not pinned"
if [[ $pin == 1 ]] && (($(nproc) >= 2)) && command -v taskset >/dev/null; then
    pin_server=(taskset -c 0) pin_loadgen=(taskset -c 1) placement="server on CPU 0, load generator on CPU 1"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/osk-bench.XXXXXX")
raw=$work/raw.txt
: >"$raw"
# Both servers of a pair run side by side, each in its own program folder on its own port.
declare -A server_pid server_port server_home
loadgen_pid=""
next_port=$port_base

calc() { awk "BEGIN { printf \"$1\", $2 }"; }
log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "error: $*"; exit 1; }

# Ends a process we started: SIGTERM, a bounded wait, SIGKILL as a last resort. Leaves its exit
# status in stop_status (not printed: waiting for a child only works in this shell, not a subshell).
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
    if [[ -n $loadgen_pid ]]; then
        stop_pid "$loadgen_pid"
    fi
    for side in "${!server_pid[@]}"; do
        stop_pid "${server_pid[$side]}"
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

listening() { ss -Htln "sport = :$1" 2>/dev/null | grep -q .; }

# start_server osk|baseline: fresh program folder, free port, waits until the port listens.
start_server() {
    local side=$1 attempt ticks template cmd argv pid port home
    for attempt in 1 2 3 4 5; do
        while listening "$next_port"; do
            next_port=$((next_port + 1))
            ((next_port < port_base + 1000)) || die "no free port in $port_base..$((port_base + 999))"
        done
        port=$next_port
        next_port=$((next_port + 1))
        home=$(mktemp -d "$work/home.XXXXXX")
        printf '[Main]\r\nPort=%s\r\n' "$port" >"$home/OskServer.INI"
        if [[ $side == osk ]]; then template=$server_cmd; else template="$baseline --port {port}"; fi
        cmd=${template//\{port\}/$port}
        cmd=${cmd//\{home\}/$home}
        read -r -a argv <<<"$cmd"
        # oskserverd copies every log line to stdout; at these rates a file would grow by
        # hundreds of MB per run, so only stderr is kept, for the diagnosis of a failed start.
        "${pin_server[@]}" "${argv[@]}" >/dev/null 2>"$home/stderr.log" &
        pid=$!
        server_pid[$side]=$pid server_port[$side]=$port server_home[$side]=$home
        for ((ticks = 0; ticks < start_timeout_ticks; ticks++)); do
            kill -0 "$pid" 2>/dev/null || break
            if listening "$port"; then
                return 0
            fi
            sleep 0.05
        done
        log "$side did not come up on port $port (attempt $attempt); stderr:"
        tail -n 5 "$home/stderr.log" >&2 || true
        stop_pid "$pid"
        unset "server_pid[$side]"
    done
    die "$side would not start: $cmd"
}

stop_server() {
    local side=$1
    stop_pid "${server_pid[$side]}"
    unset "server_pid[$side]"
    if [[ $stop_status != 0 ]]; then
        log "warning: $side exited with status $stop_status after SIGTERM"
        echo "$side exit status after SIGTERM: $stop_status" >>"$raw"
    fi
    rm -rf "${server_home[$side]}"
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/${server_pid[$1]}/status"; }

field() { # field KEY LINE
    local value
    value=$(tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p")
    [[ -n $value ]] || die "no $1 in: $2"
    echo "$value"
}

declare -A R # R[side,metric,pair]

# run_loadgen pair first second args...: one measurement of both servers, by one osk_loadgen in
# alternating phases (first, second, second, first, ...; see bench/README.md). Leaves each side's
# result line, with the server's share of a CPU in its phases, in result[side].
declare -A result
run_loadgen() {
    local pair=$1 first=$2 second=$3 side
    shift 3
    sleep 0.5 # let the servers release the previous run's sessions
    "${pin_loadgen[@]}" "$loadgen" --port "${server_port[$first]}" --pid "${server_pid[$first]}" \
        --port2 "${server_port[$second]}" --pid2 "${server_pid[$second]}" --phase "$phase_seconds" \
        --warmup "$warmup" --seconds "$seconds" "$@" >"$work/run.out" 2>>"$work/loadgen.err" &
    loadgen_pid=$!
    wait "$loadgen_pid" || true
    loadgen_pid=""
    for side in "$first" "$second"; do
        result[$side]=$(grep "^mode=[a-z]* port=${server_port[$side]} " "$work/run.out" || true)
        [[ -n ${result[$side]} ]] ||
            die "osk_loadgen $* against $side gave no result: $(tail -n 3 "$work/loadgen.err")"
        printf '%s pair=%s %s\n' "$side" "$pair" "${result[$side]}" >>"$raw"
        if [[ $(field errors "${result[$side]}") != 0 ]]; then
            R[$side,errors,$pair]=$((${R[$side,errors,$pair]:-0} + $(field errors "${result[$side]}")))
        fi
    done
}

measure_memory() {
    local side=$1 pair=$2 start hold ticks hold_line
    sleep 0.5
    start=$(rss_kib "$side")
    # Emptied here, not by the job's own redirection, which may happen after the first look below
    # and leave the previous run's "ready" line to be found.
    : >"$work/hold.out"
    "${pin_loadgen[@]}" "$loadgen" --port "${server_port[$side]}" --mode hold --connections "$sessions" \
        --seconds "$hold_seconds" >"$work/hold.out" 2>>"$work/loadgen.err" &
    loadgen_pid=$!
    for ((ticks = 0; ticks < 400; ticks++)); do
        grep -q '^ready' "$work/hold.out" && break
        kill -0 "$loadgen_pid" 2>/dev/null || break
        sleep 0.05
    done
    if ! grep -q "^ready sessions=$sessions\$" "$work/hold.out"; then
        stop_pid "$loadgen_pid"
        loadgen_pid=""
        die "$side: $sessions sessions were not established (osk_loadgen status $stop_status):" \
            "$(cat "$work/hold.out") $(tail -n 3 "$work/loadgen.err")"
    fi
    sleep 1
    hold=$(rss_kib "$side")
    wait "$loadgen_pid" || true
    loadgen_pid=""
    hold_line=$(grep '^mode=' "$work/hold.out" || true)
    printf '%s pair=%s %s rss_start_kib=%s rss_%s_sessions_kib=%s\n' "$side" "$pair" "$hold_line" "$start" \
        "$sessions" "$hold" >>"$raw"
    R[$side,rss_start,$pair]=$start
    R[$side,rss_hold,$pair]=$hold
    R[$side,kib_per_session,$pair]=$(awk -v a="$start" -v b="$hold" -v n="$sessions" 'BEGIN { printf "%.2f", (b - a) / n }')
}

# measure_rtt pair n first second
measure_rtt() {
    local pair=$1 n=$2 side line
    run_loadgen "$pair" "$3" "$4" --mode rtt --connections "$n"
    for side in "$3" "$4"; do
        line=${result[$side]}
        R[$side,rtt$n,$pair]=$(field round_trips_per_s "$line")
        R[$side,cpu_rtt$n,$pair]="$(field server_cpu_pct "$line") / $(field loadgen_cpu_pct "$line")"
        # The server's CPU time per round trip: steadier than a rate on a shared machine.
        R[$side,cpuus_rtt$n,$pair]=$(awk -v c="$(field server_cpu_pct "$line")" -v r="${R[$side,rtt$n,$pair]}" \
            'BEGIN { printf "%.2f", (r > 0) ? c * 1e4 / r : 0 }')
        R[$side,p50_$n,$pair]=$(field p50_us "$line")
        R[$side,p90_$n,$pair]=$(field p90_us "$line")
        R[$side,p99_$n,$pair]=$(field p99_us "$line")
    done
}

# measure_accept pair first second
measure_accept() {
    local pair=$1 side line
    run_loadgen "$pair" "$2" "$3" --mode accept --connections "$accept_in_flight"
    for side in "$2" "$3"; do
        line=${result[$side]}
        R[$side,accept,$pair]=$(field connections_per_s "$line")
        R[$side,cpu_accept,$pair]="$(field server_cpu_pct "$line") / $(field loadgen_cpu_pct "$line")"
    done
}

measure_pair() {
    local pair=$1 first=$2 second=$3 n
    log "pair $pair/$pairs: $first first"
    start_server "$first"
    start_server "$second"
    measure_memory "$first" "$pair"
    measure_memory "$second" "$pair"
    for n in "${rtt_sizes[@]}"; do
        measure_rtt "$pair" "$n" "$first" "$second"
    done
    measure_accept "$pair" "$first" "$second"
    stop_server "$first"
    stop_server "$second"
}

started=$(date +%s)
for ((pair = 1; pair <= pairs; pair++)); do
    if ((pair % 2)); then
        measure_pair "$pair" osk baseline
    else
        measure_pair "$pair" baseline osk
    fi
done
elapsed=$(($(date +%s) - started))
log "measured in $elapsed s"

# Client distribution into the embedded engine beside a plain copy of the same files.
distribution_runs=()
if [[ -x $build_dir/bench/osk_distribution_bench ]]; then
    for ((run = 1; run <= 3; run++)); do
        log "distribution run $run/3"
        distribution_runs+=("$("${pin_server[@]}" "$build_dir/bench/osk_distribution_bench" --megabytes 200 --files 4)")
    done
fi

# Start-up of the service and of the console, when the console was built.
startup_section=
if [[ -x $build_dir/bench/osk_console_startup ]]; then
    log "start-up"
    startup_section=$("$script_dir/startup_bench.sh" "$build_dir" 7)
fi
field() { sed -E "s/.*$1=([^ ]+).*/\1/" <<<"$2"; }

# ---- arithmetic on the collected numbers ----

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
values() { # values side metric
    local p
    for ((p = 1; p <= pairs; p++)); do echo "${R[$1,$2,$p]}"; done
}
med_of() { # med_of side metric
    local list
    mapfile -t list < <(values "$1" "$2")
    median "${list[@]}"
}
ratios() { # ratios metric: oskserverd / baseline per pair
    local p
    for ((p = 1; p <= pairs; p++)); do
        awk -v a="${R[osk,$1,$p]}" -v b="${R[baseline,$1,$p]}" 'BEGIN { printf "%.4f\n", (b > 0 ? a / b : 0) }'
    done
}
differences() { # differences metric: oskserverd - baseline per pair
    local p
    for ((p = 1; p <= pairs; p++)); do calc '%.2f\n' "${R[osk,$1,$p]} - ${R[baseline,$1,$p]}"; done
}
range() { # range FORMAT values...: "lowest–highest"
    local format=$1
    shift
    printf '%s\n' "$@" | sort -g | awk -v f="$format" 'NR == 1 { lo = $1 } { hi = $1 } END { printf f "–" f "\n", lo, hi }'
}

# goal_at_least measured target unit -> "pass" or "short by X"
verdict_min() { awk -v m="$1" -v t="$2" -v u="$3" -v f="$4" 'BEGIN { if (m >= t) print "pass"; else printf "short by " f "%s\n", t - m, u }'; }
verdict_max() { awk -v m="$1" -v t="$2" -v u="$3" -v f="$4" 'BEGIN { if (m <= t) print "pass"; else printf "short by " f "%s\n", m - t, u }'; }

mapfile -t ratio16 < <(ratios rtt16)
mapfile -t ratio255 < <(ratios rtt255)
mapfile -t ratio_accept < <(ratios accept)
mapfile -t p50_diff < <(differences p50_1)
med_ratio16=$(median "${ratio16[@]}")
med_ratio255=$(median "${ratio255[@]}")
mapfile -t cpu16 < <(ratios cpuus_rtt16)
mapfile -t cpu255 < <(ratios cpuus_rtt255)
med_cpu16=$(median "${cpu16[@]}")
med_cpu255=$(median "${cpu255[@]}")
med_ratio_accept=$(median "${ratio_accept[@]}")
med_p50_diff=$(median "${p50_diff[@]}")
mapfile -t osk_kib < <(values osk kib_per_session)
mapfile -t osk_start < <(values osk rss_start)
med_kib=$(median "${osk_kib[@]}")
med_start=$(median "${osk_start[@]}")
start_limit_kib=16384

errors_total=0
for key in "${!R[@]}"; do
    [[ $key == osk,errors,* ]] && errors_total=$((errors_total + R[$key]))
done
baseline_errors=0
for key in "${!R[@]}"; do
    [[ $key == baseline,errors,* ]] && baseline_errors=$((baseline_errors + R[$key]))
done

percentiles() { echo "${R[$1,p50_$2,$3]} / ${R[$1,p90_$2,$3]} / ${R[$1,p99_$2,$3]}"; }
f0() { calc '%.0f' "$1"; }
f1() { calc '%.1f' "$1"; }
f2() { calc '%.2f' "$1"; }

# ---- the report ----

cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
commit=$(git -C "$repo_dir" rev-parse --short HEAD 2>/dev/null || echo unknown)
if ! git -C "$repo_dir" diff --quiet HEAD -- src 2>/dev/null; then
    commit="$commit (with uncommitted changes under src/)"
fi

report=$work/PERFORMANCE.md
{
    echo "# Performance"
    echo
    echo "oskserverd against a minimal single-threaded epoll server (\`bench/osk_epoll_baseline\`),"
    echo "the physical limit of the same machine, both driven by \`bench/osk_loadgen\` over loopback."
    echo "Each pair starts both servers afresh; each rate is measured by one run of the generator that"
    echo "holds both servers' connections and loads them in alternating phases of $phase_seconds s (the pair's"
    echo "first side, the second, the second, the first, and so on; the first side alternates between"
    echo "pairs). Goals are judged on the median over the pairs of the per-pair ratio (or difference)."
    echo "See bench/README.md for what each measurement does."
    echo
    echo "| | |"
    echo "|---|---|"
    echo "| date | $(date -u '+%Y-%m-%d %H:%M UTC') |"
    echo "| machine | $(nproc) CPUs (nproc), ${cpu_model:-unknown CPU}, Linux $(uname -r) |"
    echo "| command | \`$invocation\` |"
    echo "| server under test | \`$server_cmd\` |"
    echo "| commit | $commit |"
    echo "| runs | $pairs pairs; each measurement ${warmup} s warm-up + ${seconds} s measured per side, in phases of $phase_seconds s; accept mode with $accept_in_flight connections in flight; $elapsed s in all |"
    echo "| placement | $placement |"
    echo
    echo "## Goals"
    echo
    echo "| goal | target | measured (median) | result |"
    echo "|---|---|---|---|"
    echo "| round trips/s at N=16 | ≥ 0.85× baseline | $(f2 "$med_ratio16")× (pairs $(range %.2f "${ratio16[@]}")) | $(verdict_min "$med_ratio16" 0.85 × %.2f) |"
    echo "| round trips/s at N=255 | ≥ 0.85× baseline | $(f2 "$med_ratio255")× (pairs $(range %.2f "${ratio255[@]}")) | $(verdict_min "$med_ratio255" 0.85 × %.2f) |"
    echo "| server CPU per round trip at N=16 | ≤ 1.2× baseline | $(f2 "$med_cpu16")× (pairs $(range %.2f "${cpu16[@]}")) | $(verdict_max "$med_cpu16" 1.2 × %.2f) |"
    echo "| server CPU per round trip at N=255 | ≤ 1.2× baseline | $(f2 "$med_cpu255")× (pairs $(range %.2f "${cpu255[@]}")) | $(verdict_max "$med_cpu255" 1.2 × %.2f) |"
    echo "| p50 latency at N=1 | ≤ baseline + 10 µs | $(calc %+.1f "$med_p50_diff") µs (pairs $(range %+.1f "${p50_diff[@]}")) | $(verdict_max "$med_p50_diff" 10 ' µs' %.1f) |"
    echo "| accept rate | ≥ 0.75× baseline | $(f2 "$med_ratio_accept")× (pairs $(range %.2f "${ratio_accept[@]}")) | $(verdict_min "$med_ratio_accept" 0.75 × %.2f) |"
    echo "| resident memory per session | ≤ 16 KiB | $(f1 "$med_kib") KiB (pairs $(range %.1f "${osk_kib[@]}")) | $(verdict_max "$med_kib" 16 ' KiB' %.1f) |"
    echo "| resident memory at start | ≤ 16 MiB ($start_limit_kib KiB) | $(f0 "$med_start") KiB (pairs $(range %.0f "${osk_start[@]}")) | $(verdict_max "$med_start" "$start_limit_kib" ' KiB' %.0f) |"
    echo
    echo "Failed connects, resets or replies later than 5 s during the measured runs: oskserverd $errors_total, baseline $baseline_errors."
    echo
    # What the numbers come from, kept by hand beside the script.
    if [ -f "$script_dir/findings.md" ]; then
        cat "$script_dir/findings.md"
        echo
    fi
    echo "## Round trips per second"
    echo
    echo "Each connection validates its user (\`USER=<name>\`) as clients do, then sends \`USER_AVAILABLE=<name>\` and waits for the reply before the next."
    echo "CPU % is the share of one CPU used in the measured window by the server and by the load"
    echo "generator, each over its own phases (the server's from /proc/PID/schedstat): whichever is"
    echo "near 100 was the limit of that run."
    echo
    for n in "${rtt_sizes[@]}"; do
        echo "### N = $n"
        echo
        echo "| pair | oskserverd | baseline | ratio | oskserverd p50 / p90 / p99 µs | baseline p50 / p90 / p99 µs | CPU % oskserverd / generator | CPU % baseline / generator | server CPU µs per round trip oskserverd / baseline |"
        echo "|---|---|---|---|---|---|---|---|---|"
        mapfile -t rn < <(ratios "rtt$n")
        for ((p = 1; p <= pairs; p++)); do
            echo "| $p | $(f0 "${R[osk,rtt$n,$p]}") | $(f0 "${R[baseline,rtt$n,$p]}") | $(f2 "${rn[p - 1]}")× | $(percentiles osk "$n" "$p") | $(percentiles baseline "$n" "$p") | ${R[osk,cpu_rtt$n,$p]} | ${R[baseline,cpu_rtt$n,$p]} | ${R[osk,cpuus_rtt$n,$p]} / ${R[baseline,cpuus_rtt$n,$p]} |"
        done
        echo "| **median** | $(f0 "$(med_of osk "rtt$n")") | $(f0 "$(med_of baseline "rtt$n")") | $(f2 "$(median "${rn[@]}")")× | $(f1 "$(med_of osk "p50_$n")") / $(f1 "$(med_of osk "p90_$n")") / $(f1 "$(med_of osk "p99_$n")") | $(f1 "$(med_of baseline "p50_$n")") / $(f1 "$(med_of baseline "p90_$n")") / $(f1 "$(med_of baseline "p99_$n")") | | | $(f2 "$(med_of osk "cpuus_rtt$n")") / $(f2 "$(med_of baseline "cpuus_rtt$n")") |"
        echo
    done
    echo "## Accept rate"
    echo
    echo "Connect, read \`CONNECTED\`, close (with RST, so that no port waits in TIME_WAIT);"
    echo "$accept_in_flight attempts in flight. The generator carries the kernel's connect work: when it is"
    echo "at 100 % and the server is not, the rate is the generator's, a lower bound of the server's."
    echo
    echo "| pair | oskserverd conn/s | baseline conn/s | ratio | CPU % oskserverd / generator | CPU % baseline / generator |"
    echo "|---|---|---|---|---|---|"
    for ((p = 1; p <= pairs; p++)); do
        echo "| $p | $(f0 "${R[osk,accept,$p]}") | $(f0 "${R[baseline,accept,$p]}") | $(f2 "${ratio_accept[p - 1]}")× | ${R[osk,cpu_accept,$p]} | ${R[baseline,cpu_accept,$p]} |"
    done
    echo "| **median** | $(f0 "$(med_of osk accept)") | $(f0 "$(med_of baseline accept)") | $(f2 "$med_ratio_accept")× | | |"
    echo
    echo "## Resident memory"
    echo
    echo "VmRSS from /proc/PID/status before any load (the pair's first side 0.5 s after both listen, the second"
    echo "after the first's hold), then with $sessions sessions connected"
    echo "(each has sent one \`USER_AVAILABLE\` and had its reply), per session = difference / $sessions."
    echo
    echo "| pair | oskserverd at start KiB | with $sessions sessions KiB | KiB/session | baseline at start KiB | baseline with $sessions KiB | baseline KiB/session |"
    echo "|---|---|---|---|---|---|---|"
    for ((p = 1; p <= pairs; p++)); do
        echo "| $p | ${R[osk,rss_start,$p]} | ${R[osk,rss_hold,$p]} | ${R[osk,kib_per_session,$p]} | ${R[baseline,rss_start,$p]} | ${R[baseline,rss_hold,$p]} | ${R[baseline,kib_per_session,$p]} |"
    done
    echo
    if ((${#distribution_runs[@]})); then
        echo "## Client distribution"
        echo
        echo "\`bench/osk_distribution_bench\`: four files of 50 MiB (200 MiB, the first named Osk2.exe) stored into a"
        echo "new embedded product database by the client distribution, beside a plain copy of the same files"
        echo "(read and written in 16384-byte pieces, no sync) in the same run. Peak resident memory (VmHWM) of"
        echo "the process after each step shows whether a file is ever held whole. Goal: at least half the copy's speed."
        echo
        echo "| run | copy MiB/s | distribution MiB/s | ratio | peak KiB before | after copy | after distribution |"
        echo "|---|---|---|---|---|---|---|"
        run=0
        for line in "${distribution_runs[@]}"; do
            run=$((run + 1))
            echo "| $run | $(field copy_mib_per_s "$line") | $(field store_mib_per_s "$line") | $(field ratio "$line")× | $(field peak_rss_kib_start "$line") | $(field peak_rss_kib_after_copy "$line") | $(field peak_rss_kib_after_store "$line") |"
        done
        echo
    fi
    if [[ -n $startup_section ]]; then
        echo "$startup_section"
        echo
    fi
    echo "## Raw results"
    echo
    echo '```'
    cat "$raw"
    echo '```'
} >"$report"

mkdir -p "$(dirname "$out")"
mv "$report" "$out"
log "wrote $out"
