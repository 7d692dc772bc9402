#!/usr/bin/env bash
# A client that vanishes for real: two hosts of the test's own (network namespaces joined by a veth
# pair, 10.231.0.1/30 the server, 10.231.0.2/30 the client), a validated session, then every packet
# of the client's side dropped. The server must remove the session within 30 s ("Usuario no
# encontrado. Eliminando...") and give the slot (the only one: MaxUsers=1) to a new client.
#
#   vanished_peer.sh <path of oskserverd>
#
# Needs root and iproute2; exits 77 (skipped) where namespaces cannot be made. The namespaces are
# deleted at the end whatever happens.
set -euo pipefail

server_bin="${1:?usage: vanished_peer.sh <oskserverd>}"
skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "no ip (iproute2)"

ns_server="osk-vp-s-$$"
ns_client="osk-vp-c-$$"
veth_server="oskvps$$"
veth_client="oskvpc$$"
veth_server="${veth_server:0:15}"
veth_client="${veth_client:0:15}"
server_ip=10.231.0.1
client_ip=10.231.0.2
port=47013
work="$(mktemp -d /tmp/osk-vanished-XXXXXX)"
pids=()

cleanup() {
  for pid in "${pids[@]}"; do
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  ip netns del "$ns_client" 2>/dev/null || true
  ip netns del "$ns_server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if ! ip netns add "$ns_server" 2>"$work/netns.err"; then
  skip "cannot make a network namespace: $(cat "$work/netns.err")"
fi
ip netns add "$ns_client"
ip link add "$veth_server" netns "$ns_server" type veth peer name "$veth_client" netns "$ns_client"
ip -n "$ns_server" addr add "$server_ip/30" dev "$veth_server"
ip -n "$ns_client" addr add "$client_ip/30" dev "$veth_client"
ip -n "$ns_server" link set lo up
ip -n "$ns_client" link set lo up
ip -n "$ns_server" link set "$veth_server" up
ip -n "$ns_client" link set "$veth_client" up

mkdir -p "$work/home"
printf '[Main]\r\nPort=%s\r\nMaxUsers=1\r\n' "$port" >"$work/home/OskServer.INI"
ip netns exec "$ns_server" "$server_bin" --home "$work/home" >"$work/server.out" 2>"$work/server.err" &
pids+=($!)

# Bounded waits on the server's stdout.
wait_for_line() { # text seconds
  local deadline=$((SECONDS + $2))
  while [ "$SECONDS" -lt "$deadline" ]; do
    grep -qF -- "$1" "$work/server.out" && return 0
    sleep 0.2
  done
  return 1
}
fail() {
  echo "FAIL: $*" >&2
  echo "--- server stdout" >&2
  cat "$work/server.out" >&2
  echo "--- server stderr" >&2
  cat "$work/server.err" >&2
  exit 1
}

wait_for_line "Esperando conexiones..." 20 || fail "the server did not start listening"

# One client in the client's namespace: greeting, session text, validation; then it holds the
# socket open and says nothing more. Bytes are read by count, since the wire has no framing.
client_session() { # session-text user out-file
  ip netns exec "$ns_client" bash -c '
    exec 3<>"/dev/tcp/'"$server_ip"'/'"$port"'" || exit 1
    IFS= read -r -t 10 -N 9 greeting <&3 || { echo "greeting:${greeting:-}"; exit 1; }
    echo "greeting:$greeting"
    [ "$greeting" = CONNECTED ] || exit 1
    printf %s "$1" >&3
    sleep 0.5
    printf %s "USER=$2" >&3
    IFS= read -r -t 10 -N 7 reply <&3 || { echo "reply:${reply:-}"; exit 1; }
    echo "reply:$reply"
    exec sleep 120' client "$1" "$2" >"$3" 2>&1 &
  pids+=($!)
}
wait_for_file_line() { # text file seconds
  local deadline=$((SECONDS + $3))
  while [ "$SECONDS" -lt "$deadline" ]; do
    grep -qF -- "$1" "$2" && return 0
    sleep 0.2
  done
  return 1
}

client_session PCREMOTO ana "$work/client1.out"
wait_for_file_line "reply:USER_OK" "$work/client1.out" 20 || fail "the first client was not validated: $(cat "$work/client1.out")"
wait_for_line "Validado usuario [ana] en [PCREMOTO]." 10 || fail "no validation line"

# The only slot is taken: a second client is refused.
ip netns exec "$ns_client" bash -c '
  exec 3<>"/dev/tcp/'"$server_ip"'/'"$port"'" || exit 1
  IFS= read -r -t 10 -N 16 answer <&3
  echo "$answer"' >"$work/refused.out" 2>&1 || true
grep -qx MAX_USERS_RAISED "$work/refused.out" || fail "a second client was not refused: $(cat "$work/refused.out")"

# The client's host goes away: nothing it sends leaves it any more, so nothing the server sends is
# acknowledged. Where netem is not there, the client's interface goes down (no carrier either).
if ip netns exec "$ns_client" tc qdisc add dev "$veth_client" root netem loss 100% 2>/dev/null; then
  how="tc netem loss 100% on the client's interface"
else
  how="the client's interface set down"
  ip -n "$ns_client" link set "$veth_client" down
fi
echo "client dropped: $how"
dropped_at=$SECONDS

wait_for_line "Usuario no encontrado. Eliminando..." 30 ||
  fail "the session was not removed within 30 s of the client vanishing ($how)"
echo "session removed after about $((SECONDS - dropped_at)) s"

# The client's side comes back; a new client takes the freed slot, as the same user.
if [ "$how" = "the client's interface set down" ]; then
  ip -n "$ns_client" link set "$veth_client" up
else
  ip netns exec "$ns_client" tc qdisc del dev "$veth_client" root
fi
client_session PCNUEVO ana "$work/client2.out"
wait_for_file_line "reply:USER_OK" "$work/client2.out" 20 ||
  fail "a new client did not get the freed slot: $(cat "$work/client2.out")"
wait_for_line "Validado usuario [ana] en [PCNUEVO]." 10 || fail "no validation line for the new client"
if grep -qE "WSock_(DataArrival|ConnectionRequest)" "$work/server.out"; then
  fail "the server reported an error"
fi

kill -TERM "${pids[0]}"
wait "${pids[0]}" || fail "the server did not exit 0 on SIGTERM"
echo "PASS: vanished peer removed and its slot given to a new client"
