#include "kl7046/demo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "kl7046/driver_source.h"
#include "kl7046/statistics.h"
#include "sim/card/pc_card.h"
#include "sim/net/ethernet.h"
#include "sim/net/pcap_writer.h"
#include "sim/world/network.h"

namespace kl::tools {

namespace {

using namespace std::chrono_literals;
using sim::Duration;
using sim::VirtualTime;

constexpr sim::card::MacAddress kFirstStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
constexpr sim::card::MacAddress kSecondStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x02};
// The group both protocols join, and send to.
constexpr sim::world::Mac kGroup = {0x01, 0x00, 0x5E, 0x4B, 0x70, 0x46};
constexpr ULONG kFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;
// Auto-negotiation and the driver's PHY settling take a few seconds.
constexpr Duration kLinkWait = 10s;

std::vector<sim::world::SlotSetup> slotsFor(const DemoOptions& options,
                                            const Installation& installation) {
  const auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  return {applySettings(installation.adapters[0], slotFor(options, slots[0], kFirstStation),
                        kFirstStation),
          applySettings(installation.adapters[1], slotFor(options, slots[1], kSecondStation),
                        kSecondStation)};
}

void collectAdapter(AdapterReport& report, sim::world::TrafficStation& station,
                    const sim::world::TrafficStation& peer, const sim::net::AccessCounts& wire) {
  report.address = formatAddress(station.address());
  report.counts = station.counts();
  report.missing = station.missingFrom(peer.stream(), peer.counts().framesSent);
  report.collisions = wire.collisions;
  report.givenUp = wire.aborts;
  report.statistics = queryStatistics(station.adapter());
}

void collectErrorLog(DemoReport& report, sim::world::Network& pair) {
  for (const sim::ErrorLogEntry& entry : pair.machine().errorLog()) {
    const unsigned adapter = entry.adapter == pair.adapter(0).handle() ? 1 : 2;
    report.errorLog.push_back({adapter, static_cast<ULONG>(entry.code), entry.values});
  }
}

// The link as the first card's PHY resolved it.
void collectLink(DemoReport& report, sim::world::Network& pair) {
  if (const sim::card::Phy* phy = pair.card(0).phy(); phy != nullptr && phy->link().up) {
    const sim::card::LinkMode mode = phy->link().mode;
    report.speedMbps = mode.speed == sim::card::Speed::Mbit100 ? 100 : 10;
    report.duplex = mode.duplex == sim::card::Duplex::Full ? "full" : "half";
  }
}

// On a half-duplex link each side hands down one frame per round, both at
// the same moment, so that nearly every round collides; a round leaves room
// for three of the longest frames, the two that meet and the backoff that
// parts them. Flat out, as on full duplex, the side that has just sent would
// keep winning the wire until the other's frame was given up after 16
// collisions, and while the driver restarted its controller for that, the
// frames coming in would be lost. The last frames may still be backing off
// when the last packet comes back: they are waited for as long as sixteen
// attempts can take.
sim::world::TrafficRun loadFor(sim::world::Network& pair, const DemoOptions& options) {
  sim::world::TrafficRun run;
  const sim::card::Phy* phy = pair.card(0).phy();
  if (phy == nullptr || !phy->link().up || phy->link().mode.duplex == sim::card::Duplex::Full) {
    return run;
  }
  const auto rate = phy->link().mode.speed == sim::card::Speed::Mbit100 ? sim::net::BitRate::Mbit100
                                                                        : sim::net::BitRate::Mbit10;
  constexpr std::int64_t kFramesPerRound = 3;
  constexpr std::int64_t kAttempts = sim::net::kAttemptLimit;
  const std::size_t longest =
      std::max(options.maxSize + sim::net::kFcsBytes, sim::net::kMinFrameBytes);
  run.step = kFramesPerRound * (sim::net::frameTime(longest, rate) + sim::net::interFrameGap(rate));
  run.framesPerStep = 1;
  const auto longestBackoff =
      sim::net::slotTime(rate) * static_cast<std::int64_t>(sim::net::backoffRange(kAttempts));
  run.settle = kAttempts * (sim::net::frameTime(longest, rate) + longestBackoff);
  return run;
}

// Longer than an inter-frame gap, the interrupt and its deferred handler.
constexpr sim::Duration kLastTransmitReported = std::chrono::milliseconds(1);

void exchange(DemoReport& report, sim::world::Network& pair, const DemoOptions& options,
              const DemoObserver& observer) {
  pair.addStations({.shape = {.minSize = options.minSize, .maxSize = options.maxSize},
                    .firstSeed = options.seed * 2,
                    .firstStream = 1});
  for (std::size_t side = 0; side < pair.size(); ++side) {
    sim::world::TrafficStation& station = pair.station(side);
    if (observer.sent) {
      station.onSend(
          [&observer, side](std::span<const std::uint8_t> frame) { observer.sent(side, frame); });
    }
    if (const NDIS_STATUS status = station.open(kFilter, kGroup); status != NDIS_STATUS_SUCCESS) {
      char text[96];
      std::snprintf(text, sizeof(text),
                    "adapter %zu refused its packet filter or multicast list: 0x%08X", side + 1,
                    static_cast<unsigned>(status));
      report.failure = text;
      return;
    }
  }
  sim::world::TrafficStation& first = pair.station(0);
  sim::world::TrafficStation& second = pair.station(1);
  first.aim(second.address(), options.frames);
  second.aim(first.address(), options.frames);
  sim::world::TrafficRun run = loadFor(pair, options);
  run.settled = [&first, &second] {
    return first.missingFrom(second.stream(), second.counts().framesSent) == 0 &&
           second.missingFrom(first.stream(), first.counts().framesSent) == 0;
  };
  if (observer.progress) {
    run.progress = [&](Duration /*elapsed*/) {
      observer.progress(first.counts().framesReceived + second.counts().framesReceived,
                        2 * options.frames);
    };
  }
  const VirtualTime start = pair.machine().now();
  if (!pair.runTraffic(run)) {
    report.failure = "the traffic did not finish in its virtual time";
  }
  report.virtualSeconds = std::chrono::duration<double>(pair.machine().now() - start).count();
  // The last frame's PTX comes an inter-frame gap after it has arrived, and
  // the driver counts it as sent only then.
  pair.machine().runFor(kLastTransmitReported);
  const sim::net::Cable& cable = pair.cable().cable();
  collectAdapter(report.adapters[0], first, second, cable.accessCounts(sim::net::Cable::Side::A));
  collectAdapter(report.adapters[1], second, first, cable.accessCounts(sim::net::Cable::Side::B));
  collectLink(report, pair);
  // Halt while the protocols are still there to be given their packets.
  pair.halt();
}

}  // namespace

std::string formatAddress(const sim::world::Mac& mac) {
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

sim::world::SlotSetup slotFor(const DemoOptions& options, sim::world::SlotSetup slot,
                              const sim::card::MacAddress& station) {
  slot.card.busWidth =
      options.busWidth == 8 ? sim::card::BusWidth::Byte : sim::card::BusWidth::Word;
  slot.adapter.keywords.insert_or_assign("CardType", options.cardType);
  slot.adapter.keywords.insert_or_assign("ConnectionType", connectionTypeOf(options));
  if (options.cardType == 1) {
    slot.adapter.attributeMemory = sim::card::pcCardAttributeMemory(station);
  }
  return slot;
}

std::uint32_t connectionTypeOf(const DemoOptions& options) {
  if (!options.speed && options.duplex == DuplexChoice::Auto) {
    return 0;
  }
  // A forced duplex alone keeps the faster speed; a speed alone runs full
  // duplex, which both ends then force alike.
  const bool ten = options.speed == 10U;
  const bool half = options.duplex == DuplexChoice::Half;
  return ten ? (half ? 1 : 2) : (half ? 3 : 4);
}

bool DemoReport::clean() const {
  if (!broughtUp || !failure.empty() || !violations.empty()) {
    return false;
  }
  for (const AdapterReport& adapter : adapters) {
    const sim::world::StationCounts& c = adapter.counts;
    if (adapter.missing != 0 || c.damaged != 0 || c.duplicates != 0 || c.outOfOrder != 0 ||
        c.sendsFailed != 0 || c.strayCompletions != 0 || c.transferFailures != 0 ||
        c.sendsCompleted != c.framesSent) {
      return false;
    }
  }
  return true;
}

DemoReport runDemo(const DemoOptions& options, const Installation& installation,
                   const DemoObserver& observer) {
  const auto hostStart = std::chrono::steady_clock::now();
  DemoReport report;
  report.options = options;
  try {
    DriverSource driver(options.driver);
    for (const SlotSettings& slot : installation.adapters) {
      if (slot.partner) {
        throw std::invalid_argument(
            "sim.LinkPartner is for the bridge: the demo's two cards are each other's partner");
      }
    }
    report.busCycles =
        options.busCycles.value_or(installation.busCycles.value_or(sim::BusCycleTimes{}));
    report.timing = timingOf(options.timing, installation, options.seed);
    sim::world::Network pair({.slots = slotsFor(options, installation),
                              .machine = {.processorCount = installation.processors.value_or(1),
                                          .busCycles = report.busCycles,
                                          .timing = report.timing}});
    pair.card(1).faults().corruptStoredFrames = options.corruptFrames;
    pair.machine().onViolation([&](const std::string& what) { report.violations.push_back(what); });
    std::unique_ptr<sim::net::PcapWriter> capture;
    if (!options.pcap.empty()) {
      capture = std::make_unique<sim::net::PcapWriter>(options.pcap);
      capture->capture(pair.cable().cable());
    }
    if (const NTSTATUS status = driver.load(pair.machine()); status != STATUS_SUCCESS) {
      report.failure = "DriverEntry failed";
    } else if (pair.initialize() != NDIS_STATUS_SUCCESS) {
      report.failure = "an adapter failed to initialize (see the error log)";
    } else if (!pair.waitForLink(kLinkWait)) {
      report.failure = "the link did not come up";
    } else {
      report.broughtUp = true;
      exchange(report, pair, options, observer);
    }
    collectErrorLog(report, pair);
    for (const sim::Irql level : {sim::Irql::Passive, sim::Irql::Dispatch, sim::Irql::Device}) {
      report.longestBusyWait[static_cast<std::size_t>(level)] = pair.machine().longestStall(level);
    }
  } catch (const std::exception& error) {
    report.failure = error.what();
  }
  report.hostSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - hostStart).count();
  return report;
}

}  // namespace kl::tools
