// Emulation speed: virtual time per second of host time, with both sides
// sending frames of one length to each other flat out at 100 Mbit/s on an
// ideal bus. Only the exchange is timed, not the bring-up before it. `speed`
// counts the processor time the emulation took, which other work on the
// machine does not stretch; `wall_speed` the wall-clock time, which it does
// (on an idle machine the two agree).
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench_pair.h"

namespace kl::bench {
namespace {

// Each run covers about this much virtual time.
constexpr sim::Duration kVirtualRun = std::chrono::milliseconds(250);

void emulationSpeed(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  BenchPair pair({.frameLength = length});
  const auto frames =
      static_cast<std::uint64_t>(kVirtualRun / wireSlot(length, sim::net::BitRate::Mbit100));
  double virtualSeconds = 0;
  double hostSeconds = 0;
  double wallSeconds = 0;
  for (auto _ : state) {
    const RunFigures figures = pair.run(frames, Directions::BothWays);
    state.SetIterationTime(figures.hostSeconds);
    virtualSeconds += std::chrono::duration<double>(figures.virtualTime).count();
    hostSeconds += figures.hostSeconds;
    wallSeconds += figures.wallSeconds;
  }
  state.counters["speed"] = virtualSeconds / hostSeconds;
  state.counters["wall_speed"] = virtualSeconds / wallSeconds;
  state.counters["virtual_s"] = virtualSeconds;
  state.counters["frames_per_s"] = benchmark::Counter(
      static_cast<double>(2 * frames * state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(emulationSpeed)
    ->Name("EmulationSpeed")
    ->ArgNames({"length"})
    ->Args({60})
    ->Args({128})
    ->Args({256})
    ->Args({512})
    ->Args({1024})
    ->Args({1514})
    ->UseManualTime()
    ->Iterations(2)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kl::bench
