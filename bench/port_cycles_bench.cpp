// Port cycles per frame: side 0 sends a stream of frames of one length to
// side 1, and every cycle either card's ports see is counted, the interrupt
// service it takes included. Transmit is the sender's card, receive the
// receiver's; data cycles are those on the data port, one per element of a
// string transfer; the ratio is all cycles over the data-only bound, one
// cycle per byte (byte mode) or per 16-bit word (word mode). The figures
// follow from the driver's access sequence alone, so one iteration is enough.
#include <benchmark/benchmark.h>

#include "bench_pair.h"

namespace kl::bench {
namespace {

constexpr std::uint64_t kWarmUp = 100;
constexpr std::uint64_t kFrames = 1000;

void portCycles(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const auto width = state.range(1) == 16 ? sim::card::BusWidth::Word : sim::card::BusWidth::Byte;
  BenchPair pair({.frameLength = length, .busWidth = width});
  // Past bring-up's first frames, into the rings' steady state.
  pair.run(kWarmUp, Directions::OneWay);
  RunFigures figures;
  for (auto _ : state) {
    figures = pair.run(kFrames, Directions::OneWay, /*countCycles=*/true);
  }
  const auto perFrame = [](std::uint64_t cycles) {
    return static_cast<double>(cycles) / static_cast<double>(kFrames);
  };
  const auto bound = static_cast<double>(dataCycleBound(length, width));
  const PortCycles& tx = figures.cycles[0];
  const PortCycles& rx = figures.cycles[1];
  state.counters["tx_data"] = perFrame(tx.data);
  state.counters["tx_control"] = perFrame(tx.control);
  state.counters["tx_ratio"] = perFrame(tx.data + tx.control) / bound;
  state.counters["rx_data"] = perFrame(rx.data);
  state.counters["rx_control"] = perFrame(rx.control);
  state.counters["rx_ratio"] = perFrame(rx.data + rx.control) / bound;
  state.counters["bound"] = bound;
}

BENCHMARK(portCycles)
    ->Name("PortCycles")
    ->ArgNames({"length", "bus"})
    ->ArgsProduct({{60, 128, 512, 1024, 1514}, {8, 16}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kl::bench
