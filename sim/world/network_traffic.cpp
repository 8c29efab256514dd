#include "sim/world/network_traffic.h"

#include <algorithm>

namespace kl::sim::world {

namespace {

constexpr std::uint8_t kFirstStream = 1;
constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr ULONG kFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;

}  // namespace

NetworkTraffic::NetworkTraffic(Network& network, const NetworkTrafficSetup& setup)
    : network_(network), setup_(setup), running_(network.size(), false) {
  network_.addStations({.shape = setup.shape,
                        .firstSeed = setup.seed * network.size(),
                        .firstStream = kFirstStream});
  if (network_.topology() == Topology::Hub) {
    network_.hub().onGiveUp(
        [this](const net::WireFrame& frame, std::size_t /*from*/) { excuse(frame, kEveryone); });
  } else if (network_.topology() == Topology::Switch) {
    network_.learningSwitch().onDrop(
        [this](const net::WireFrame& frame, std::size_t to) { excuse(frame, to); });
  }
}

// A station's groups do not depend on the others' addresses; where it sends
// does, so it is aimed once every station has learned its own. On a switch
// each station first announces itself with a broadcast, as a station's
// first ARP would, so that the switch learns where every address lives
// (a station that never sends is flooded to for ever).
std::vector<std::size_t> NetworkTraffic::open() {
  std::vector<Mac> addresses(network_.size());
  std::vector<std::size_t> refused;
  for (std::size_t index = 0; index < network_.size(); ++index) {
    TrafficStation& station = network_.station(index);
    const StationRole role = roleOf(setup_.pattern, index, addresses);
    if (!station.adapter().initialized()) {
      continue;
    }
    if (station.open(kFilter, role.groups) != NDIS_STATUS_SUCCESS) {
      refused.push_back(index);
      continue;
    }
    running_[index] = true;
    addresses[index] = station.address();
  }
  for (std::size_t index = 0; index < network_.size(); ++index) {
    const StationRole role = roleOf(setup_.pattern, index, addresses);
    TrafficStation& station = network_.station(index);
    if (running_[index] && network_.topology() == Topology::Switch) {
      station.sendShaped(kBroadcast, kSmallestTestFrame, {kSmallestTestFrame});
    }
    if (running_[index] && !role.destinations.empty()) {
      station.aimAt(role.destinations, setup_.frames);
    }
  }
  return refused;
}

// On a hub the stations take turns two at a time, each handing down one
// frame, so that the two collide and the backoff parts them; a turn leaves
// room for three of the longest frames. All at once, the station that has
// just sent would keep winning the segment until another gave a frame up
// after 16 collisions, and while its driver restarted the controller for
// that, the frames coming in would be lost. The last frames may still be
// backing off when the last packet comes back: they are waited for as long
// as 16 attempts take.
TrafficRun NetworkTraffic::paced(TrafficRun run) const {
  if (network_.topology() != Topology::Hub) {
    return run;
  }
  const net::BitRate rate = network_.hub().bitRate();
  const std::size_t longest = std::max(setup_.shape.maxSize + net::kFcsBytes, net::kMinFrameBytes);
  const Duration frame = net::frameTime(longest, rate) + net::interFrameGap(rate);
  constexpr std::int64_t kFramesPerTurn = 3;
  constexpr std::size_t kContenders = 2;
  run.step = kFramesPerTurn * frame;
  run.framesPerStep = 1;
  run.turns = (network_.size() + kContenders - 1) / kContenders;
  const auto longestBackoff =
      net::slotTime(rate) * static_cast<std::int64_t>(net::backoffRange(net::kAttemptLimit));
  run.settle = std::int64_t{net::kAttemptLimit} * (frame + longestBackoff);
  return run;
}

bool NetworkTraffic::run(TrafficRun run) {
  run = paced(std::move(run));
  run.settled = [this] {
    const std::vector<StationOutcome> now = outcomes();
    return std::ranges::all_of(now, [](const StationOutcome& o) { return o.missing == 0; });
  };
  return network_.runTraffic(run);
}

void NetworkTraffic::excuse(const net::WireFrame& frame, std::size_t to) {
  const std::span<const std::uint8_t> bytes(frame.bytes.data(),
                                            frame.bytes.size() - net::kFcsBytes);
  if (const std::optional<CheckedFrame> checked = checkTestFrame(bytes)) {
    excused_.emplace(checked->identity.stream, checked->identity.sequence, to);
  }
}

bool NetworkTraffic::excused(std::uint8_t stream, std::uint32_t sequence, std::size_t to) const {
  return excused_.contains({stream, sequence, to}) ||
         excused_.contains({stream, sequence, kEveryone});
}

std::vector<StationOutcome> NetworkTraffic::outcomes() const {
  std::vector<StationOutcome> outcomes(network_.size());
  for (std::size_t index = 0; index < outcomes.size(); ++index) {
    StationOutcome& outcome = outcomes[index];
    outcome.running = running_[index];
    outcome.counts = network_.station(index).counts();
    if (network_.topology() == Topology::Hub) {
      outcome.access = network_.hub().accessCounts(index);
    } else if (network_.topology() == Topology::Switch) {
      outcome.portDrops = network_.learningSwitch().counts(index).dropped;
    }
    if (outcome.running) {
      check(index, outcome);
    }
  }
  return outcomes;
}

// Every frame every other station sent, as the receiver's filter takes it.
void NetworkTraffic::check(std::size_t receiver, StationOutcome& outcome) const {
  const TrafficStation& own = network_.station(receiver);
  for (std::size_t sender = 0; sender < network_.size(); ++sender) {
    const TrafficStation& from = network_.station(sender);
    if (sender == receiver) {
      continue;
    }
    for (std::uint64_t sequence = 0; sequence < from.counts().framesSent; ++sequence) {
      const bool wanted = admits(own.address(), own.groups(), from.sentTo(sequence));
      const bool arrived = own.received(from.stream(), sequence);
      const bool dropped = excused(from.stream(), static_cast<std::uint32_t>(sequence), receiver);
      outcome.expected += wanted ? 1 : 0;
      outcome.unwanted += arrived && !wanted ? 1 : 0;
      outcome.excused += wanted && dropped && !arrived ? 1 : 0;
      outcome.missing += wanted && !dropped && !arrived ? 1 : 0;
    }
  }
}

bool clean(const std::vector<StationOutcome>& outcomes) {
  return std::ranges::all_of(outcomes, [](const StationOutcome& o) {
    const StationCounts& c = o.counts;
    return !o.running ||
           (o.missing == 0 && o.unwanted == 0 && c.damaged == 0 && c.duplicates == 0 &&
            c.outOfOrder == 0 && c.strayCompletions == 0 && c.transferFailures == 0 &&
            c.sendsCompleted + o.access.aborts >= c.framesSent);
  });
}

}  // namespace kl::sim::world
