#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${BUILD_DIR:-$here/build}"

"$here/scripts/install-deps.sh"
"$here/scripts/check-format.sh"
"$here/scripts/build.sh" -DBUILD_TESTING=ON -DBUILD_BENCH=ON
cd "$build_dir"
ctest --output-on-failure --timeout 300 -j "${JOBS:-2}"
