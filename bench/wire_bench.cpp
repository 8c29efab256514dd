// The wire and the bus: side 0 sends to side 1 (one way) or both send to each
// other (both ways) flat out, with frames of one length, on an ideal bus or
// with every port cycle costing the processor the time given in
// nanoseconds, the same for 8- and 16-bit cycles as on a PC Card.
//
//  utilisation   the share of the time the wire was busy in each direction
//                that carried traffic, preamble and inter-frame gap counted
//                as the wire's, from the first frame's start to the last
//                frame's gap in either direction
//  mbps          frame bytes delivered per direction, in Mbit/s
//  bound_mbps    what the wire allows, or what the data cycles alone allow
//                when fewer: one cycle per 16-bit word of every frame sent
//                and received, each on the one processor both cards share
//  ratio         mbps over bound_mbps
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "bench_pair.h"

namespace kl::bench {
namespace {

constexpr sim::Duration kVirtualRun = std::chrono::milliseconds(100);
constexpr std::uint64_t kLeastFrames = 200;
constexpr std::uint64_t kWarmUp = 50;

struct WireArgs {
  std::size_t length;
  sim::net::BitRate rate;
  Directions directions;
  sim::Duration cycle;
};

WireArgs argsOf(const benchmark::State& state) {
  return {.length = static_cast<std::size_t>(state.range(0)),
          .rate = state.range(1) == 10 ? sim::net::BitRate::Mbit10 : sim::net::BitRate::Mbit100,
          .directions = state.range(2) == 2 ? Directions::BothWays : Directions::OneWay,
          .cycle = sim::Duration{state.range(3)}};
}

double seconds(sim::Duration duration) { return std::chrono::duration<double>(duration).count(); }

void wire(benchmark::State& state) {
  const WireArgs args = argsOf(state);
  const std::uint64_t ways = args.directions == Directions::BothWays ? 2 : 1;
  const sim::Duration slot = wireSlot(args.length, args.rate);
  // Every frame is sent by one card and received by the other, on one bus.
  const sim::Duration dataTime =
      args.cycle *
      static_cast<std::int64_t>(2 * ways * dataCycleBound(args.length, sim::card::BusWidth::Word));
  const sim::Duration perFrame = std::max(slot, dataTime);
  const std::uint64_t frames = std::max<std::uint64_t>(kLeastFrames, kVirtualRun / perFrame);

  BenchPair pair({.frameLength = args.length,
                  .rate = args.rate,
                  .busCycles = {.byteCycle = args.cycle, .wordCycle = args.cycle}});
  pair.run(kWarmUp, args.directions);
  RunFigures figures;
  for (auto _ : state) {
    figures = pair.run(frames, args.directions);
    state.SetIterationTime(figures.hostSeconds);
  }
  // Over the run as a whole: with a slow bus the two directions need not
  // share it evenly, and each direction alone could look faster than it was.
  sim::VirtualTime first = figures.wire[0].firstArrival;
  sim::VirtualTime last = figures.wire[0].lastArrival;
  for (unsigned d = 1; d < ways; ++d) {
    first = std::min(first, figures.wire[d].firstArrival);
    last = std::max(last, figures.wire[d].lastArrival);
  }
  const double span = seconds(last - first + slot);
  double utilisation = 0;
  double mbps = 0;
  for (unsigned d = 0; d < ways; ++d) {
    const auto count = static_cast<double>(figures.wire[d].frames);
    utilisation += count * seconds(slot) / span / ways;
    mbps += count * static_cast<double>(args.length) * 8 / span / 1e6 / ways;
  }
  const double bound = static_cast<double>(args.length) * 8 / seconds(perFrame) / 1e6;
  state.counters["utilisation"] = utilisation;
  state.counters["mbps"] = mbps;
  state.counters["bound_mbps"] = bound;
  state.counters["ratio"] = mbps / bound;
}

// Utilisation and throughput at both rates, one way and both ways, for the
// shortest and the longest frames, on an ideal bus and at a PC Card's typical
// 600 ns I/O cycle.
BENCHMARK(wire)
    ->Name("Wire")
    ->ArgNames({"length", "mbit", "ways", "cycle_ns"})
    ->ArgsProduct({{60, 1514}, {10, 100}, {1, 2}, {0, 600}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Throughput against frame length at 100 Mbit/s one way: an ideal bus, a
// PC Card's shortest I/O cycle (255 ns) and its typical one (600 ns).
BENCHMARK(wire)
    ->Name("Throughput")
    ->ArgNames({"length", "mbit", "ways", "cycle_ns"})
    ->ArgsProduct({{60, 128, 256, 512, 768, 1024, 1280, 1514}, {100}, {1}, {0, 255, 600}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kl::bench
