#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test; then builds everything again with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/) and runs every test on that build.
# OSK_SKIP_SANITIZERS=1 runs the normal build only.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${BUILD_DIR:-$here/build}"
asan_build_dir="${ASAN_BUILD_DIR:-$here/build-asan}"

"$here/scripts/install-deps.sh"
"$here/scripts/check-format.sh"
"$here/scripts/build.sh" -DBUILD_TESTING=ON -DBUILD_BENCH=ON
(cd "$build_dir" && ctest --output-on-failure --timeout 300 -j "${JOBS:-2}")

if [ "${OSK_SKIP_SANITIZERS:-0}" = 1 ]; then
  exit 0
fi

echo "Sanitizer build (address, undefined) in $asan_build_dir"
BUILD_DIR="$asan_build_dir" "$here/scripts/build.sh" -DBUILD_TESTING=ON -DBUILD_BENCH=ON \
  -DOSK_SANITIZE=address,undefined
"$here/scripts/run-sanitized-tests.sh" "$asan_build_dir"
