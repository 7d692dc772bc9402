#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test; then builds everything again with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/) and runs every test on that build;
# then runs the tests of our threads (the backup worker, the control socket's hashes) under
# ThreadSanitizer (build-tsan/) and fuzzes the session rules for 60 s (build-fuzz/, clang). After the normal build's tests, the package is booted
# under a real systemd (scripts/test-systemd.sh; root only, skipped elsewhere).
# OSK_SKIP_SANITIZERS=1 runs the normal build only; OSK_SKIP_TSAN=1, OSK_SKIP_FUZZ=1 and
# OSK_SKIP_SYSTEMD=1 skip one step.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${BUILD_DIR:-$here/build}"
asan_build_dir="${ASAN_BUILD_DIR:-$here/build-asan}"
tsan_build_dir="${TSAN_BUILD_DIR:-$here/build-tsan}"

"$here/scripts/install-deps.sh"
# It has just installed the browser the web page's tests drive: they may not skip.
export OSK_REQUIRE_BROWSER=1
"$here/scripts/check-format.sh"
"$here/scripts/check-layers.sh"
"$here/scripts/build.sh" -DBUILD_TESTING=ON -DBUILD_BENCH=ON -DOSK_WERROR=ON
(cd "$build_dir" && ctest --output-on-failure --timeout 300 -j "${JOBS:-2}")
if [ "${OSK_SKIP_SYSTEMD:-0}" != 1 ]; then
  BUILD_DIR="$build_dir" "$here/scripts/test-systemd.sh"
fi

if [ "${OSK_SKIP_SANITIZERS:-0}" = 1 ]; then
  exit 0
fi

echo "Sanitizer build (address, undefined) in $asan_build_dir"
BUILD_DIR="$asan_build_dir" "$here/scripts/build.sh" -DBUILD_TESTING=ON -DBUILD_BENCH=OFF \
  -DOSK_SANITIZE=address,undefined -DOSK_WERROR=ON
"$here/scripts/run-sanitized-tests.sh" "$asan_build_dir"

if [ "${OSK_SKIP_TSAN:-0}" != 1 ]; then
  echo "ThreadSanitizer build of the threads' tests in $tsan_build_dir"
  "$here/scripts/run-tsan-tests.sh" "$tsan_build_dir"
fi

if [ "${OSK_SKIP_FUZZ:-0}" != 1 ]; then
  "$here/scripts/run-fuzz.sh" 60
fi
