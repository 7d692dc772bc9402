# Sourced by the per-round-trip scripts: a free loopback port, a program folder whose settings make
# oskserverd listen on it, and a server's command line with {port} and {home} filled in.

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# program_folder DIR PORT
program_folder() { mkdir -p "$1" && printf '[Main]\r\nPort=%s\r\n' "$2" >"$1/OskServer.INI"; }

# server_command PORT HOME ARG...: sets the array `command` to ARG... with {port} and {home} replaced.
server_command() {
    local port=$1 home=$2
    shift 2
    command=("${@//\{port\}/$port}")
    command=("${command[@]//\{home\}/$home}")
}

# accepts PORT: something accepts a connection on 127.0.0.1:PORT.
accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
