#!/usr/bin/env bash
# Takes the README's screenshots the way a new user would see the console, and walks the operator's
# flows on the way: oskserver started on the embedded engine in a fresh program folder on a virtual
# display with a real tray host, two clients connected from two computers (127.0.0.2 and 127.0.0.3)
# and validated, one followed until it logs out, the other selected... Then a refused close (a
# Spanish message box), the save dialog of a tracking window, the tray (a click shows its menu, a
# double click brings the window back), the schedule editor and the About box. Each check prints
# a line; the script fails on the first that does not hold. Needs Xvfb, openbox (window frames),
# trayer (the tray), xdotool, python3 (the clients) and ImageMagick's import:
#   apt-get install xvfb openbox trayer xdotool python3 imagemagick
#
# usage: scripts/screenshots.sh [BUILD_DIR] [OUT_DIR]   (defaults: build, docs/screenshots)
# Every process started here is stopped by its PID.

set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
out=$(mkdir -p "${2:-$repo/docs/screenshots}" && cd "${2:-$repo/docs/screenshots}" && pwd)
port=31034

home=$(mktemp -d)
echo "program folder: $home"
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
trayer --edge bottom --align right --widthtype pixel --width 120 --height 28 --transparent false \
    --tint 0x404040 >/dev/null 2>&1 &
pids+=($!)
sleep 1

printf '[Main]\r\nPort=%d\r\nOSInit=1\r\n[Backup1]\r\nType=2\r\nDataBase=oskdemo\r\nOutPutFile=%s\r\nDay=4\r\nHour=22:30\r\n' \
    "$port" /var/lib/oskserver/copias/oskdemo.obk >"$home/OskServer.INI"
"$build/src/app/oskserverd" --home "$home" --create-database oskdemo >/dev/null
"$build/src/app/oskserverd" --home "$home" --create-database oskalmacen >/dev/null
# Started in its program folder, where its save dialogs open.
(cd "$home" && exec "$build/src/app/oskserver" --home "$home" >"${OSK_SCREENSHOT_LOG:-/dev/null}" 2>&1) &
console=$!
pids+=($console)

# A client program on the computer ADDRESS: it sends each line written to $home/NAME and keeps
# what it receives in $home/NAME.in, one reply a line, "<EOF>" when the server closed.
cat >"$home/client.py" <<'PY'
import os, socket, sys, threading
address, port, commands = sys.argv[1], int(sys.argv[2]), sys.argv[3]
sock = socket.create_connection(("127.0.0.1", port), source_address=(address, 0))
received = open(commands + ".in", "ab", buffering=0)
def read():
    while data := sock.recv(65536):
        received.write(data + b"\n")
    received.write(b"<EOF>\n")
threading.Thread(target=read, daemon=True).start()
while True:
    with open(commands, "rb") as pipe:
        for line in pipe:
            sock.send(line.rstrip(b"\n"))
PY
client() {
    mkfifo "$home/$1"
    python3 "$home/client.py" "$2" "$port" "$home/$1" &
    pids+=($!)
    sleep 0.5
}
say() {
    printf "$2\n" >"$home/$1"
    sleep 0.4
}
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1" >&2; exit 1; fi
}

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
shown() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
shot() {
    sleep 0.5
    import -window "$(window "$1")" -frame "$out/$2"
    echo "$out/$2"
}
keys() {
    xdotool key --clearmodifiers "$@"
    sleep 0.4
}
click() {
    xdotool mousemove "$1" "$2" click --repeat "${3:-1}" --delay 80 1
    sleep 0.5
}

main=$(window '^Osk Server - Iniciado$')
xdotool windowmove "$main" 20 20
sleep 0.5
# Where things are on screen with the window at 20,20.
first_row=(100 297) eliminar=(85 268) propiedades=(190 268) close_box=(731 29)

# Two computers, one client each. One after the other: a connection that has not started its
# session yet is the one a new connection request takes over.
client ana 127.0.0.2
say ana 'ALMACEN1'
client luis 127.0.0.3
say luis 'OFICINA2'
say ana 'USER=ana'
say luis 'USER=luis~Compras'

# Select ana's row (the first) and follow her. The wire carries Windows-1252: \xe1 is "á".
xdotool windowactivate --sync "$main"
click "${first_row[@]}"
keys alt+u s
say ana 'LOG:Abre el pedido 1043'
say ana 'LOG:Imprime el albar\xe1n 1043'
tracking=$(window '^\[ana\]$')
xdotool windowmove "$tracking" 780 120
check "the tracking window is owned by the main window" \
    '[[ $(xprop -id "$tracking" WM_TRANSIENT_FOR) == *"$(printf "0x%x" "$main")" ]]'
shot '^Osk Server - Iniciado$' main-window.png
shot '^\[ana\]$' tracking-window.png

# ana logs out: her window closes, she was told NOLOG once, the console goes on.
say ana 'CLOSE'
sleep 0.5
check "ana's window closed with her session" '! shown "^\[ana\]$"'
check "ana was told CLOSED, then NOLOG once" '[[ $(tr -d "\n" <"$home/ana.in") == *CLOSEDNOLOG && $(grep -o NOLOG "$home/ana.in" | wc -l) == 1 ]]'
check "the console still runs" 'kill -0 $console'

# ana's row was the selected one; luis's moved up into its place and is not selected.
click "${eliminar[@]}"
sleep 1
check "Eliminar with nothing selected disconnects nobody" '! grep -q "<EOF>" "$home/luis.in"'

# A close while the service runs is refused, in Spanish.
click "${close_box[@]}"
shot '^OskServer$' message-box.png
keys Return

# Follow luis and save his lines: the save dialog, in Spanish.
click "${first_row[@]}"
click "${propiedades[@]}"
say luis 'LOG:Consulta el stock de la referencia 2210'
tracking=$(window '^\[luis\]$')
xdotool windowmove "$tracking" 780 120
sleep 0.3
click 1215 444 # Guardar
shot '^Guardar como$' save-dialog.png
keys Escape
xdotool windowactivate --sync "$tracking"
keys alt+F4
check "closing luis's window told him NOLOG" 'grep -q NOLOG "$home/luis.in"'

# The tray: minimised, the window leaves the screen for the tray icon; a click there shows the
# menu, a double click brings the window back without it.
xdotool windowminimize "$main"
sleep 1
check "minimised into the tray" '! shown "^Osk Server - Iniciado$"'
eval "$(xdotool search --name '^panel$' getwindowgeometry --shell | tr -d ' ')"
tray_icon=($((X + WIDTH - 12)) $((Y + HEIGHT / 2)))
click "${tray_icon[@]}"
sleep 0.5
import -window root -crop 220x110+1100+690 "$out/tray-menu.png"
echo "$out/tray-menu.png"
keys Escape
click "${tray_icon[@]}" 2
sleep 0.8
check "a double click on the tray icon brings the window back" 'shown "^Osk Server - Iniciado$"'
check "and opens no menu" '[[ $(xdotool search --onlyvisible --classname oskserver | wc -l) == 1 ]]'

# The schedule editor opens only while the service is stopped.
xdotool windowactivate --sync "$main"
keys alt+s d
keys alt+b p
shot '^Programación Copias de Seguridad$' schedule-editor.png
keys Escape

keys alt+y a
shot '^Acerca de Osk Server$' about-box.png
keys Escape
