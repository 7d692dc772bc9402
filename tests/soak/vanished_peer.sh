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
skip() { echo "SKIPPED: $*" >&2; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "no ip (iproute2)"

ns_server="osk-vp-s-$$" ns_client="osk-vp-c-$$"
veth_server="oskvps$$" veth_client="oskvpc$$"
veth_server="${veth_server:0:15}" veth_client="${veth_client:0:15}"
server_ip=10.231.0.1 port=47013
work="$(mktemp -d /tmp/osk-vanished-XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" && wait "$pid"; done 2>/dev/null || true
  ip netns del "$ns_client" 2>/dev/null || true
  ip netns del "$ns_server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns_server" 2>"$work/netns.err" || skip "cannot make a network namespace: $(cat "$work/netns.err")"
ip netns add "$ns_client"
ip link add "$veth_server" netns "$ns_server" type veth peer name "$veth_client" netns "$ns_client"
for side in "$ns_server $veth_server $server_ip" "$ns_client $veth_client 10.231.0.2"; do
  read -r ns dev ip_address <<<"$side"
  ip -n "$ns" addr add "$ip_address/30" dev "$dev"
  ip -n "$ns" link set lo up
  ip -n "$ns" link set "$dev" up
done

mkdir -p "$work/home"
printf '[Main]\r\nPort=%s\r\nMaxUsers=1\r\n' "$port" >"$work/home/OskServer.INI"
ip netns exec "$ns_server" "$server_bin" --home "$work/home" >"$work/server.out" 2>&1 &
pids+=($!)

wait_for() { # text file seconds
  local deadline=$((SECONDS + $3))
  until grep -qF -- "$1" "$2"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
fail() { echo "FAIL: $*" >&2; cat "$work/server.out" >&2; exit 1; }
wait_for "Esperando conexiones..." "$work/server.out" 20 || fail "the server did not start listening"

# A client in the client's namespace: greeting, session text and validation, read by byte count
# (the wire has no framing); then it holds the socket open and says nothing more.
client_session() { # session-text user out-file
  ip netns exec "$ns_client" bash -c '
    exec 3<>"/dev/tcp/'"$server_ip"'/'"$port"'" || exit 1
    IFS= read -r -t 10 -N 9 greeting <&3; echo "greeting:$greeting"
    printf %s "$1" >&3; sleep 0.5; printf %s "USER=$2" >&3
    IFS= read -r -t 10 -N 7 reply <&3; echo "reply:$reply"
    exec sleep 120' client "$1" "$2" >"$3" 2>&1 &
  pids+=($!)
  wait_for "reply:USER_OK" "$3" 20 || fail "$1 was not validated: $(cat "$3")"
}
client_session PCREMOTO ana "$work/client1.out"

# The client's host goes away: nothing it sends leaves it any more. Where netem is not there, its
# interface goes down (no carrier either).
if ip netns exec "$ns_client" tc qdisc add dev "$veth_client" root netem loss 100% 2>/dev/null; then
  restore=(ip netns exec "$ns_client" tc qdisc del dev "$veth_client" root)
else
  ip -n "$ns_client" link set "$veth_client" down
  restore=(ip -n "$ns_client" link set "$veth_client" up)
fi
dropped_at=$SECONDS
wait_for "Usuario no encontrado. Eliminando..." "$work/server.out" 30 ||
  fail "the session was not removed within 30 s of the client vanishing"
echo "session removed after about $((SECONDS - dropped_at)) s"

"${restore[@]}"
client_session PCNUEVO ana "$work/client2.out"
! grep -qE "WSock_(DataArrival|ConnectionRequest)" "$work/server.out" || fail "the server reported an error"
kill -TERM "${pids[0]}"
wait "${pids[0]}" || fail "the server did not exit 0 on SIGTERM"
echo "PASS: vanished peer removed and its slot given to a new client"
