#!/usr/bin/env bash
# Real Linux traffic through the driver. `kl7046 bridge` runs in a network
# namespace with the station TAP; the wire TAP is moved into a second
# namespace that stands for the network the card is plugged into. IPv4 ping
# both ways with payloads of 0, 56 and 1472 bytes, IPv6 link-local ping both
# ways (neighbour discovery needs the multicast list the bridge keeps in step
# with the station) and a few seconds of TCP must cross with no loss, and
# without the privilege to open TAP devices the bridge must say so in one
# line and fail. The card runs at the slowest timing corner, where its link
# takes longest to come up.
#
# Then the bridge runs in a namespace of its own and the station TAP is moved
# into a third: the bridge must follow the station's memberships there, so
# that IPv6 link-local ping works both ways and a group the station joins
# receives. Without the privilege to enter other namespaces it must say so
# once and pass the station all multicast, which still carries IPv6.
# Addresses come from 198.18.0.0/15 and IPv6 link-local only.
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
bridge_ns=kl7046-b-$id
station=kls$id
wire=klw$id
log=$(mktemp)
bridge_pid=
# A link-local group the station joins in the second layout, and its MAC.
group=ff02::7046
fallback="the station is sent all multicast"

cleanup() {
  [[ -n $bridge_pid ]] && kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null
  for ns in "$station_ns" "$wire_ns" "$bridge_ns"; do
    ip netns del "$ns" 2>/dev/null
  done
  rm -f "$log"
}
trap cleanup EXIT

for ns in "$station_ns" "$wire_ns" "$bridge_ns"; do
  ip netns add "$ns" || skip "cannot create network namespaces here"
  ip -n "$ns" link set lo up
done

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

# Starts the bridge in namespace $1 (through the command in the further
# arguments, if any), waits until it has made both TAP devices and given the
# station its address, and moves the wire TAP into the network's namespace
# and the station TAP into $station_home, addressing both ends.
start_bridge() {
  local home=$1
  shift
  ip netns exec "$home" "$@" "$kl7046" bridge --wire "$wire" --station "$station" \
    --timing slowest --duration 60 >"$log" 2>&1 &
  bridge_pid=$!
  local address=
  for _ in $(seq 100); do
    address=$(ip -n "$home" -o link show "$station" 2>/dev/null | grep -o 'link/ether [0-9a-f:]*')
    [[ $address == "link/ether 02:4b:4c:70:46:01" ]] &&
      ip -n "$home" link show "$wire" >/dev/null 2>&1 && break
    sleep 0.1
  done
  [[ $address == "link/ether 02:4b:4c:70:46:01" ]] || fail "the station TAP has '$address'"
  ip -n "$home" link set "$wire" netns "$wire_ns" || fail "cannot move the wire TAP"
  if [[ $station_home != "$home" ]]; then
    ip -n "$home" link set "$station" netns "$station_home" || fail "cannot move the station TAP"
  fi
  ip -n "$station_home" addr add 198.18.70.1/24 dev "$station"
  ip -n "$station_home" link set "$station" up
  ip -n "$wire_ns" addr add 198.18.70.2/24 dev "$wire"
  ip -n "$wire_ns" link set "$wire" up
}

# The frames a line of the bridge's report counts ($2 "frames" or "dropped in
# the TAP's queue"), 0 when it names none.
reported() { grep "$1:" "$log" | grep -o "[0-9]* $2" | grep -o '^[0-9]*' || echo 0; }

# Stops the bridge, which must exit 0, print the driver's statistics and
# count what each TAP took and what the station's queue dropped as the
# interfaces count them (once down, neither takes or sends another frame).
stop_bridge() {
  ip -n "$station_home" link set "$station" down
  ip -n "$wire_ns" link set "$wire" down
  local to_station to_network queue_drops
  to_station=$(ip netns exec "$station_home" cat "/sys/class/net/$station/statistics/rx_packets")
  to_network=$(ip netns exec "$wire_ns" cat "/sys/class/net/$wire/statistics/rx_packets")
  queue_drops=$(ip netns exec "$station_home" cat "/sys/class/net/$station/statistics/tx_dropped")
  kill -INT "$bridge_pid"
  wait "$bridge_pid"
  local status=$?
  bridge_pid=
  [[ $status == 0 ]] || fail "the bridge exited $status"
  grep -q "XMIT_OK" "$log" || fail "the bridge printed no statistics"
  [[ $(reported "driver to station" frames) == "$to_station" &&
    $(reported "card to network" frames) == "$to_network" ]] ||
    fail "the bridge's counts differ from the TAPs' ($to_station to the station, $to_network to the network)"
  grep -q "queue are not known" "$log" ||
    [[ $(reported "station to driver" "dropped in the TAP's queue") == "$queue_drops" ]] ||
    fail "the bridge's queue drops differ from the station's $queue_drops"
}

# The IPv6 link-local address of device $2 in namespace $1, once it has left
# tentative state.
link_local() {
  local address=
  for _ in $(seq 50); do
    address=$(ip -n "$1" -6 -o addr show dev "$2" scope link | grep -v tentative |
      grep -o 'fe80::[0-9a-f:]*')
    [[ -n $address ]] && break
    sleep 0.2
  done
  echo "$address"
}

# IPv6 link-local ping both ways: from the network, neighbour discovery
# reaches the station only through its solicited-node group.
ping6_both_ways() {
  local far near
  far=$(link_local "$wire_ns" "$wire")
  near=$(link_local "$station_home" "$station")
  [[ -n $far && -n $near ]] || fail "no IPv6 link-local addresses ($far, $near)"
  ip netns exec "$wire_ns" ping -6 -q -c 5 -i 0.2 -W 5 "$near%$wire" >/dev/null ||
    fail "IPv6 link-local ping from the network ($1)"
  ip netns exec "$station_home" ping -6 -q -c 5 -i 0.2 -W 5 "$far%$station" >/dev/null ||
    fail "IPv6 link-local ping from the station ($1)"
}

# --- The station's stack in the bridge's namespace.
station_home=$station_ns
start_bridge "$station_ns"

# Zero loss: ping exits non-zero when any reply is missing.
for size in 0 56 1472; do
  ip netns exec "$station_ns" ping -q -c 5 -i 0.2 -W 5 -s "$size" 198.18.70.2 >/dev/null ||
    fail "IPv4 ping with $size bytes from the station"
  ip netns exec "$wire_ns" ping -q -c 5 -i 0.2 -W 5 -s "$size" 198.18.70.1 >/dev/null ||
    fail "IPv4 ping with $size bytes from the network"
done
ping6_both_ways "station with the bridge"

if command -v iperf3 >/dev/null; then
  ip netns exec "$wire_ns" iperf3 -s -1 -B 198.18.70.2 >/dev/null 2>&1 &
  server=$!
  # The client connects only once the server listens, however busy the
  # machine is.
  for _ in $(seq 100); do
    ip netns exec "$wire_ns" ss -Hltn 'sport = :5201' | grep -q . && break
    sleep 0.1
  done
  result=$(ip netns exec "$station_ns" iperf3 -c 198.18.70.2 -t 3 -f m 2>&1) ||
    fail "TCP transfer: $result"
  wait "$server"
  echo "TCP through the driver: $(printf '%s\n' "$result" | grep receiver | grep -o '[0-9.]* Mbits/sec')"
fi
stop_bridge
cat "$log"

# --- The station's stack in a namespace of its own: its memberships are
# followed there. A group it joins receives: the echo requests sent to it
# reach the station's stack (the stack answers from the group address, which
# ping does not take as a reply, so its own count is read).
start_bridge "$bridge_ns"
ping6_both_ways "station on its own"
ip -n "$station_ns" -6 addr add "$group/128" dev "$station" autojoin ||
  fail "cannot join $group"
echos() { ip netns exec "$station_ns" awk '$1 == "Icmp6InEchos" {print $2}' /proc/net/snmp6; }
# The bridge takes the new membership up at its next look, every 200 ms; a
# loaded machine may take longer.
before=$(echos)
for _ in $(seq 100); do
  ip netns exec "$wire_ns" ping -6 -q -c 1 -W 0.2 "$group%$wire" >/dev/null
  [[ $(echos) != "$before" ]] && break
done
before=$(echos)
ip netns exec "$wire_ns" ping -6 -q -c 3 -i 0.3 -W 1 "$group%$wire" >/dev/null
after=$(echos)
[[ $((after - before)) == 3 ]] || fail "the station's group $group received $((after - before)) of 3"
grep -q "$fallback" "$log" && fail "the bridge did not follow the station's namespace"
stop_bridge

# --- Without CAP_SYS_ADMIN the bridge cannot enter the station's namespace:
# it says so once and passes all multicast.
if command -v setpriv >/dev/null; then
  start_bridge "$bridge_ns" setpriv --bounding-set=-sys_admin --inh-caps=-sys_admin
  ping6_both_ways "all multicast"
  stop_bridge
  [[ $(grep -c "$fallback" "$log") == 1 ]] || fail "the bridge did not say once that it fell back"
fi
echo "PASS"
