#!/usr/bin/env bash
# Takes the README's screenshots the way a new user would see the console: oskserver started on the
# embedded engine in a fresh program folder on a virtual display, two clients connected and
# validated, one of them followed, then the schedule editor and the About box opened from the
# menus. Needs Xvfb, openbox (window frames), xdotool and ImageMagick's import:
#   apt-get install xvfb openbox xdotool imagemagick
#
# usage: scripts/screenshots.sh [BUILD_DIR] [OUT_DIR]   (defaults: build, docs/screenshots)
# Every process started here is stopped by its PID.

set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
out=$(mkdir -p "${2:-$repo/docs/screenshots}" && cd "${2:-$repo/docs/screenshots}" && pwd)
port=31034

home=$(mktemp -d)
pids=()
cleanup() {
    # The console first (it saves its log on the way out), the display last.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    [[ -n ${OSK_KEEP_HOME:-} ]] || rm -rf "$home"
}
trap cleanup EXIT

display=
for n in $(seq 90 120); do
    if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then display=":$n"; break; fi
done
Xvfb "$display" -screen 0 1320x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
sleep 1
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1

printf '[Main]\r\nPort=%d\r\nOSInit=1\r\n[Backup1]\r\nType=2\r\nDataBase=oskdemo\r\nOutPutFile=%s\r\nDay=4\r\nHour=22:30\r\n' \
    "$port" /var/lib/oskserver/copias/oskdemo.obk >"$home/OskServer.INI"
"$build/src/app/oskserverd" --home "$home" --create-database oskdemo >/dev/null
"$build/src/app/oskserverd" --home "$home" --create-database oskalmacen >/dev/null
"$build/src/app/oskserver" --home "$home" >"${OSK_SCREENSHOT_LOG:-/dev/null}" 2>&1 &
pids+=($!)

# Waits (bounded) for a window whose name matches, and prints its id.
window() {
    for ((i = 0; i < 100; i++)); do
        if id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1) && [[ -n $id ]]; then
            echo "$id"
            return
        fi
        sleep 0.1
    done
    echo "no window named $1" >&2
    exit 1
}
shot() {
    sleep 0.5
    import -window "$(window "$1")" -frame "$out/$2"
    echo "$out/$2"
}
keys() {
    xdotool key --clearmodifiers "$@"
    sleep 0.4
}

main=$(window '^Osk Server - Iniciado$')
xdotool windowmove "$main" 20 20
sleep 0.5

# Two client programs: a session text, then the user. One after the other: a connection that has
# not started its session yet is the one a new connection request takes over.
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'ALMACEN1' >&3
sleep 0.3
exec 4<>"/dev/tcp/127.0.0.1/$port"
printf 'OFICINA2' >&4
sleep 0.3
printf 'USER=ana' >&3
printf 'USER=luis~Compras' >&4
sleep 0.5

# Select ana's row (the first of the users list) and follow her.
xdotool windowactivate --sync "$main"
xdotool mousemove --window "$main" 100 256 click 1
sleep 0.3
keys alt+u s
printf 'LOG:Abre el pedido 1043' >&3
sleep 0.3
# The wire carries Windows-1252: \xe1 is "á".
printf 'LOG:Imprime el albar\xe1n 1043' >&3
sleep 0.5
xdotool windowmove "$(window '^\[ana\]$')" 780 120
shot '^Osk Server - Iniciado$' main-window.png
shot '^\[ana\]$' tracking-window.png

# The schedule editor opens only while the service is stopped.
xdotool windowactivate --sync "$main"
keys alt+s d
keys alt+b p
shot '^Programación Copias de Seguridad$' schedule-editor.png
keys Escape

keys alt+y a
shot '^Acerca de Osk Server$' about-box.png
keys Escape
exec 3>&- 4>&-
