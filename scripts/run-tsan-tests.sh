#!/usr/bin/env bash
# Builds the tests that exercise threads of our own (the backup runner's worker, the control
# socket's password hashes) with ThreadSanitizer in BUILD_DIR (default build-tsan/) and runs them.
# Only those targets are built: the rest of the program has no thread of its own.
# Usage: run-tsan-tests.sh [BUILD_DIR] [ctest arguments...]
#
# The first report stops its test with a failure. Hand-overs inside Qt that ThreadSanitizer cannot
# see are suppressed, with their reasons, in tests/sanitizers/tsan.supp.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${1:-$here/build-tsan}"
shift || true
targets=(test_backup test_control_socket)

cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSK_SANITIZE=thread -DOSK_WERROR=ON \
  -DBUILD_TESTING=ON -DBUILD_BENCH=OFF -DOSK_BUILD_CONSOLE=OFF >/dev/null
cmake --build "$build_dir" --parallel "${JOBS:-2}" --target "${targets[@]}"

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tests/sanitizers/tsan.supp"
pattern="^($(IFS='|'; echo "${targets[*]}"))\$"
(cd "$build_dir" && ctest --output-on-failure --timeout 300 -j "${JOBS:-2}" -R "$pattern" "$@")
