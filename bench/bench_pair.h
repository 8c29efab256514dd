// Two cards cabled to each other in one machine, brought up through the whole
// driver, with a traffic station on each that sends frames of one length:
// the set-up every benchmark measures.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "sim/bus/io_bus.h"
#include "sim/card/card.h"
#include "sim/core/clock.h"
#include "sim/net/ethernet.h"
#include "sim/world/network.h"
#include "sim/world/traffic_run.h"
#include "sim/world/traffic_station.h"

namespace kl::bench {

struct PairSetup {
  std::size_t frameLength = 1514;  // without FCS
  sim::card::BusWidth busWidth = sim::card::BusWidth::Word;
  sim::net::BitRate rate = sim::net::BitRate::Mbit100;  // forced, full duplex
  sim::BusCycleTimes busCycles{};                       // ideal by default
};

enum class Directions : std::uint8_t { OneWay, BothWays };

// Port cycles one card's ports saw: on its data port (a string transfer
// counts one cycle per element) and at every other port.
struct PortCycles {
  std::uint64_t data = 0;
  std::uint64_t control = 0;
};

// What one direction of the cable carried: from side 0 to 1, or 1 to 0.
struct DirectionFigures {
  std::uint64_t frames = 0;
  sim::VirtualTime firstArrival{};
  sim::VirtualTime lastArrival{};
};

struct RunFigures {
  // From the first packet handed down to the last frame's arrival.
  sim::Duration virtualTime{};
  // The processor time the host spent on it, which a busy machine does not
  // stretch, and the wall-clock time, which it does.
  double hostSeconds = 0;
  double wallSeconds = 0;
  std::array<DirectionFigures, 2> wire{};
  std::array<PortCycles, 2> cycles{};  // by card, when counted
};

class BenchPair {
 public:
  explicit BenchPair(const PairSetup& setup);
  BenchPair(const BenchPair&) = delete;
  BenchPair& operator=(const BenchPair&) = delete;
  ~BenchPair() = default;

  // Side 0 (and side 1 too, both ways) sends `frames` frames to the other;
  // runs until every one of them arrived intact and came back to its sender.
  // Counting the port cycles keeps a trace of the bus meanwhile. Throws when
  // a frame goes missing or arrives damaged: a figure is only worth taking
  // from a clean run.
  RunFigures run(std::uint64_t frames, Directions directions, bool countCycles = false);

  [[nodiscard]] const PairSetup& setup() const { return setup_; }

 private:
  void onFrame(sim::net::Cable::Side from, sim::VirtualTime arrival);

  PairSetup setup_;
  sim::world::Network pair_;
  std::array<DirectionFigures, 2> wire_{};
  std::array<sim::PortAddress, 2> bases_{};
};

// Frame time, preamble and inter-frame gap of one frame of `length` bytes
// (without FCS, padded to the minimum): what it holds the wire for.
[[nodiscard]] sim::Duration wireSlot(std::size_t length, sim::net::BitRate rate);

// The processor time this thread has taken, in seconds: what other work on
// the machine does not stretch.
[[nodiscard]] double threadCpuSeconds();

// The cycles that move `length` bytes through the data port alone.
[[nodiscard]] std::uint64_t dataCycleBound(std::size_t length, sim::card::BusWidth width);

}  // namespace kl::bench
