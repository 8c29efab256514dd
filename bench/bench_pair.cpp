#include "bench_pair.h"

#include <chrono>
#include <ctime>
#include <stdexcept>
#include <string>

#include "driver/driver_entry.h"
#include "sim/card/station_prom.h"

namespace kl::bench {

namespace {

using namespace std::chrono_literals;

constexpr sim::card::MacAddress kFirst = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
constexpr sim::card::MacAddress kSecond = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x02};
constexpr sim::world::Mac kGroup = {0x01, 0x00, 0x5E, 0x4B, 0x70, 0x46};
constexpr ULONG kFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;
constexpr std::uint16_t kDataPortFirst = 0x10;
constexpr std::uint16_t kDataPortEnd = 0x18;
constexpr std::uint32_t kPortsPerCard = 0x20;
// ConnectionType: 10 or 100 Mbit/s forced at full duplex.
constexpr std::uint32_t kForced10Full = 2;
constexpr std::uint32_t kForced100Full = 4;

std::vector<sim::world::SlotSetup> slotsFor(const PairSetup& setup) {
  const auto pair = sim::world::defaultSlots(kFirst, kSecond);
  std::vector<sim::world::SlotSetup> slots(pair.begin(), pair.end());
  for (std::size_t side = 0; side < slots.size(); ++side) {
    const sim::card::MacAddress& station = side == 0 ? kFirst : kSecond;
    slots[side].card.busWidth = setup.busWidth;
    slots[side].card.prom = setup.busWidth == sim::card::BusWidth::Word
                                ? sim::card::wordWidePromImage(station)
                                : sim::card::byteWidePromImage(station);
    slots[side].adapter.keywords.insert_or_assign(
        "ConnectionType", setup.rate == sim::net::BitRate::Mbit10 ? kForced10Full : kForced100Full);
  }
  return slots;
}

// Plain single-buffer packets to the peer: what a protocol sends most.
sim::world::TrafficShape shapeFor(const PairSetup& setup) {
  return {.minSize = setup.frameLength,
          .maxSize = setup.frameLength,
          .broadcastPercent = 0,
          .multicastPercent = 0,
          .maxPieces = 1};
}

PortCycles cyclesAt(const std::vector<sim::PortAccess>& trace, sim::PortAddress base) {
  PortCycles cycles;
  for (const sim::PortAccess& access : trace) {
    if (access.port < base || access.port >= base + kPortsPerCard) {
      continue;
    }
    const auto offset = static_cast<std::uint16_t>(access.port - base);
    if (offset >= kDataPortFirst && offset < kDataPortEnd) {
      cycles.data += access.count;
    } else {
      cycles.control += access.count;
    }
  }
  return cycles;
}

}  // namespace

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

sim::Duration wireSlot(std::size_t length, sim::net::BitRate rate) {
  const std::size_t onWire = std::max(length + sim::net::kFcsBytes, sim::net::kMinFrameBytes);
  return sim::net::frameTime(onWire, rate) + sim::net::interFrameGap(rate);
}

std::uint64_t dataCycleBound(std::size_t length, sim::card::BusWidth width) {
  return width == sim::card::BusWidth::Word ? (length + 1) / 2 : length;
}

BenchPair::BenchPair(const PairSetup& setup)
    : setup_(setup), pair_({.slots = slotsFor(setup), .machine = {.busCycles = setup.busCycles}}) {
  if (pair_.machine().loadDriver(&DriverEntry) != STATUS_SUCCESS ||
      pair_.initialize() != NDIS_STATUS_SUCCESS || !pair_.waitForLink(10s)) {
    throw std::runtime_error("the adapters did not come up");
  }
  pair_.addStations({.shape = shapeFor(setup), .firstSeed = 7046, .firstStream = 1});
  for (std::size_t side = 0; side < pair_.size(); ++side) {
    if (pair_.station(side).open(kFilter, kGroup) != NDIS_STATUS_SUCCESS) {
      throw std::runtime_error("an adapter refused its filter");
    }
  }
  const auto slots = slotsFor(setup);
  bases_ = {slots[0].base, slots[1].base};
  pair_.cable().cable().onFrame([this](const sim::net::WireFrame& /*frame*/,
                                       sim::net::Cable::Side from,
                                       sim::VirtualTime arrival) { onFrame(from, arrival); });
}

void BenchPair::onFrame(sim::net::Cable::Side from, sim::VirtualTime arrival) {
  DirectionFigures& figures = wire_[from == sim::net::Cable::Side::A ? 0 : 1];
  if (figures.frames++ == 0) {
    figures.firstArrival = arrival;
  }
  figures.lastArrival = arrival;
}

RunFigures BenchPair::run(std::uint64_t frames, Directions directions, bool countCycles) {
  sim::world::TrafficStation& first = pair_.station(0);
  sim::world::TrafficStation& second = pair_.station(1);
  const std::uint64_t sentBefore[2] = {first.counts().framesSent, second.counts().framesSent};
  first.aim(second.address(), frames);
  second.aim(first.address(), directions == Directions::BothWays ? frames : 0);
  wire_ = {};
  sim::IoBus& bus = pair_.machine().bus();
  if (countCycles) {
    bus.clearTrace();
    bus.startTrace();
  }
  sim::world::TrafficRun traffic;
  traffic.settled = [&] {
    return second.missingFrom(first.stream(), first.counts().framesSent) == 0 &&
           first.missingFrom(second.stream(), second.counts().framesSent) == 0;
  };
  const sim::VirtualTime start = pair_.machine().now();
  const double cpuStart = threadCpuSeconds();
  const auto wallStart = std::chrono::steady_clock::now();
  const bool finished = pair_.runTraffic(traffic);
  const auto wallEnd = std::chrono::steady_clock::now();
  const double cpuEnd = threadCpuSeconds();
  bus.stopTrace();

  RunFigures figures;
  figures.hostSeconds = cpuEnd - cpuStart;
  figures.wallSeconds = std::chrono::duration<double>(wallEnd - wallStart).count();
  figures.wire = wire_;
  figures.virtualTime = std::max(wire_[0].lastArrival, wire_[1].lastArrival) - start;
  if (countCycles) {
    figures.cycles = {cyclesAt(bus.trace(), bases_[0]), cyclesAt(bus.trace(), bases_[1])};
    bus.clearTrace();
  }
  const std::uint64_t expected[2] = {frames, directions == Directions::BothWays ? frames : 0};
  for (std::size_t side = 0; side < 2; ++side) {
    const sim::world::StationCounts& sent = pair_.station(side).counts();
    const sim::world::StationCounts& got = pair_.station(1 - side).counts();
    if (!finished || sent.framesSent - sentBefore[side] != expected[side] ||
        wire_[side].frames != expected[side] ||
        pair_.station(1 - side).missingFrom(pair_.station(side).stream(), sent.framesSent) != 0 ||
        got.damaged != 0 || got.duplicates != 0 || sent.sendsCompleted != sent.framesSent) {
      throw std::runtime_error("side " + std::to_string(side) + "'s frames did not all arrive");
    }
  }
  return figures;
}

}  // namespace kl::bench
