#!/usr/bin/env bash
# Runs every test of a build configured with -DOSK_SANITIZE=address,undefined (scripts/test.sh makes
# one in build-asan/). Usage: run-sanitized-tests.sh BUILD_DIR [ctest arguments...]
#
# A finding must fail the run even where a test starts the service (tests/app/test_oskserverd) and
# expects it to exit with an error: every finding aborts its process (a crash, never an exit code a
# test could expect), and AddressSanitizer's and LeakSanitizer's reports of every process go to files
# in BUILD_DIR/sanitizer-reports, printed at the end; any file there fails the run. (With g++ the
# UndefinedBehaviorSanitizer runtime ignores log_path next to AddressSanitizer, so its reports stay
# on the stderr of their process: ctest prints a test's; a test that starts the service sees it
# crash.)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(cd "${1:?usage: run-sanitized-tests.sh BUILD_DIR [ctest arguments...]}" && pwd)"
shift

reports="$build_dir/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

# Leak detection is on: the whole suite runs clean under it with Qt, unixODBC and both ODBC drivers
# loaded. Anything that leaks from a library outside our code is suppressed, with its reason, in
# tests/sanitizers/lsan.supp.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$here/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1"

status=0
(cd "$build_dir" && ctest --output-on-failure --timeout 300 -j "${JOBS:-2}" "$@") || status=$?

shopt -s nullglob
found=("$reports"/*)
if [ ${#found[@]} -gt 0 ]; then
  for report in "${found[@]}"; do
    echo "===== $report"
    cat "$report"
  done
  echo "Sanitizer reports: ${#found[@]} (above)." >&2
  exit 1
fi
exit "$status"
