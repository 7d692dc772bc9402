#!/usr/bin/env bash
# Installs what is missing, builds, and starts the headless server in the foreground on the
# embedded engine, with its program folder in run/ (settings, Log, Data). Ctrl+C stops it.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

"$here/scripts/install-deps.sh"
"$here/scripts/build.sh" -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF
home="${OSK_HOME:-$here/run}"
mkdir -p "$home"
exec "${BUILD_DIR:-$here/build}/src/app/oskserverd" --home "$home"
