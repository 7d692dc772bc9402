#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer on) in
# build-fuzz/ and runs each for SECONDS (default 60), one worker, on a copy of its seed corpus in
# tests/fuzz/corpus/. Installs what is missing first (install-deps.sh).
# Usage: run-fuzz.sh [SECONDS] [libFuzzer options...]
#
# A finding (a crash, a sanitizer report or a broken invariant) fails the run; the input that caused
# it is kept in build-fuzz/findings/ and can be replayed with: build-fuzz/tests/fuzz/<target> FILE.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${FUZZ_BUILD_DIR:-$here/build-fuzz}"
seconds="${1:-60}"
shift || true
targets=(session_dispatcher)

# clang and its runtimes come with the project's packages.
"$here/scripts/install-deps.sh"

CC=clang CXX=clang++ cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSK_FUZZ=ON -DOSK_WERROR=ON -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF -DOSK_BUILD_CONSOLE=OFF >/dev/null
cmake --build "$build_dir" --parallel "${JOBS:-2}" --target "${targets[@]/#/fuzz_}"

# A small quarantine: a script allocates little, and the default 256 MiB makes every run slower as
# it fills without finding more.
export ASAN_OPTIONS="quarantine_size_mb=32:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
findings="$build_dir/findings"
mkdir -p "$findings"
for target in "${targets[@]}"; do
  corpus="$build_dir/corpus/$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp "$here/tests/fuzz/corpus/$target/"* "$corpus/"
  echo "Fuzzing $target for $seconds s"
  "$build_dir/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=512 -print_final_stats=1 \
    -artifact_prefix="$findings/$target-" "$@" "$corpus"
done
