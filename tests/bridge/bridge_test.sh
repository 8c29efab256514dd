#!/usr/bin/env bash
# Real Linux traffic through the driver: `kl7046 bridge` runs in a network
# namespace of its own with the station TAP; the wire TAP is moved into a
# second namespace that stands for the network the card is plugged into.
# IPv4 ping both ways with payloads of 0, 56 and 1472 bytes, IPv6 link-local
# ping both ways (neighbour discovery needs the multicast list the bridge
# keeps in step with the station) and a few seconds of TCP must cross with no
# loss, and without the privilege to open TAP devices the bridge must say
# so in one line and fail. Addresses come from 198.18.0.0/15 only.
#
# Exits 77 (skipped) where the machine cannot create namespaces or TAPs.
set -uo pipefail

kl7046=$1
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; cat "$log" 2>/dev/null; exit 1; }

[[ $(id -u) == 0 ]] || skip "needs root to create network namespaces and TAP devices"
[[ -c /dev/net/tun ]] || skip "no /dev/net/tun"
command -v ip >/dev/null || skip "no ip (iproute2)"
command -v ping >/dev/null || skip "no ping (iputils-ping)"

id=$$
station_ns=kl7046-s-$id
wire_ns=kl7046-w-$id
station=kls$id
wire=klw$id
log=$(mktemp)
bridge_pid=

cleanup() {
  [[ -n $bridge_pid ]] && kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null
  ip netns del "$station_ns" 2>/dev/null
  ip netns del "$wire_ns" 2>/dev/null
  rm -f "$log"
}
trap cleanup EXIT

ip netns add "$station_ns" || skip "cannot create network namespaces here"
ip netns add "$wire_ns" || skip "cannot create network namespaces here"
ip -n "$station_ns" link set lo up
ip -n "$wire_ns" link set lo up

# Without CAP_NET_ADMIN: one line, non-zero.
if command -v setpriv >/dev/null; then
  output=$(ip netns exec "$station_ns" setpriv --reuid=65534 --regid=65534 --clear-groups \
    --inh-caps=-all --bounding-set=-all "$kl7046" bridge --wire "$wire" --station "$station" \
    --duration 1 2>&1)
  status=$?
  [[ $status != 0 ]] || fail "the unprivileged bridge exited 0"
  [[ $(printf '%s\n' "$output" | wc -l) == 1 ]] || fail "the unprivileged bridge said: $output"
  [[ $output == *"TAP device"* ]] || fail "the unprivileged bridge said: $output"
fi

ip netns exec "$station_ns" "$kl7046" bridge --wire "$wire" --station "$station" \
  --duration 60 >"$log" 2>&1 &
bridge_pid=$!
for _ in $(seq 100); do
  ip -n "$station_ns" link show "$wire" >/dev/null 2>&1 &&
    ip -n "$station_ns" link show "$station" >/dev/null 2>&1 && break
  sleep 0.1
done
ip -n "$station_ns" link show "$station" >/dev/null 2>&1 || fail "the bridge made no TAP devices"

ip -n "$station_ns" link set "$wire" netns "$wire_ns" || fail "cannot move the wire TAP"
ip -n "$station_ns" addr add 198.18.70.1/24 dev "$station"
ip -n "$station_ns" link set "$station" up
ip -n "$wire_ns" addr add 198.18.70.2/24 dev "$wire"
ip -n "$wire_ns" link set "$wire" up

address=$(ip -n "$station_ns" -o link show "$station" | grep -o 'link/ether [0-9a-f:]*')
[[ $address == "link/ether 02:4b:4c:70:46:01" ]] || fail "the station TAP has $address"

# Zero loss: ping exits non-zero when any reply is missing.
for size in 0 56 1472; do
  ip netns exec "$station_ns" ping -q -c 5 -i 0.2 -W 5 -s "$size" 198.18.70.2 >/dev/null ||
    fail "IPv4 ping with $size bytes from the station"
  ip netns exec "$wire_ns" ping -q -c 5 -i 0.2 -W 5 -s "$size" 198.18.70.1 >/dev/null ||
    fail "IPv4 ping with $size bytes from the network"
done

# IPv6 link-local: wait for both ends' addresses to leave tentative state.
for _ in $(seq 50); do
  far=$(ip -n "$wire_ns" -6 -o addr show dev "$wire" scope link | grep -v tentative |
    grep -o 'fe80::[0-9a-f:]*')
  near=$(ip -n "$station_ns" -6 -o addr show dev "$station" scope link | grep -v tentative |
    grep -o 'fe80::[0-9a-f:]*')
  [[ -n $far && -n $near ]] && break
  sleep 0.2
done
[[ -n $far ]] || fail "no IPv6 link-local address on the wire side"
ip netns exec "$station_ns" ping -6 -q -c 5 -i 0.2 -W 5 "$far%$station" >/dev/null ||
  fail "IPv6 link-local ping from the station"
ip netns exec "$wire_ns" ping -6 -q -c 5 -i 0.2 -W 5 "$near%$wire" >/dev/null ||
  fail "IPv6 link-local ping from the network"

if command -v iperf3 >/dev/null; then
  ip netns exec "$wire_ns" iperf3 -s -1 -B 198.18.70.2 >/dev/null 2>&1 &
  server=$!
  sleep 0.5
  result=$(ip netns exec "$station_ns" iperf3 -c 198.18.70.2 -t 3 -f m 2>&1) ||
    fail "TCP transfer: $result"
  wait "$server"
  echo "TCP through the driver: $(printf '%s\n' "$result" | grep receiver | grep -o '[0-9.]* Mbits/sec')"
fi

kill -INT "$bridge_pid"
wait "$bridge_pid"
status=$?
bridge_pid=
[[ $status == 0 ]] || fail "the bridge exited $status"
grep -q "XMIT_OK" "$log" || fail "the bridge printed no statistics"
cat "$log"
echo "PASS"
