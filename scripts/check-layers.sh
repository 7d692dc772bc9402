#!/usr/bin/env bash
# Fails when an include runs up the layers: the server core and the subsystems below it include
# nothing of a front end (the window and the runners in app/, the control socket in control/), and
# the control socket nothing of app/ or web/, the web server nothing of app/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../src"
status=0
check() { # folders, then the front ends they must not include
    local folders=$1 forbidden=$2
    if grep -rnE "#include \"($forbidden)/" $folders; then
        status=1
    fi
}
check "common config eventlog session database backup core" "app|control|web"
check "control" "app|web"
check "web" "app"
[ "$status" = 0 ] || echo "An include above runs from the core or the control socket up into a front end." >&2
exit "$status"
