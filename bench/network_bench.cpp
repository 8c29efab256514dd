// Many stations: the emulation's processor time per delivered frame, the
// aggregate throughput of a switch and the efficiency of a hub's segment, as
// the stations grow from 2 to 64. Every station sends frames of one length to
// every other in turn, flat out at 100 Mbit/s; only the exchange is timed,
// not the bring-up before it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "bench_network.h"
#include "bench_pair.h"

namespace kl::bench {
namespace {

using sim::world::Topology;

// Frames each run carries in all, shared among the senders.
constexpr std::uint64_t kFramesPerRun = 4096;
constexpr sim::net::BitRate kRate = sim::net::BitRate::Mbit100;

double seconds(sim::Duration duration) { return std::chrono::duration<double>(duration).count(); }

// The share of the segment's time that carried frame bytes (destination to
// FCS) of frames that came through whole.
double efficiency(std::uint64_t carried, std::size_t length, sim::Duration elapsed) {
  const std::size_t withFcs = std::max(length + sim::net::kFcsBytes, sim::net::kMinFrameBytes);
  return static_cast<double>(carried) * seconds(sim::net::bitTime(withFcs * 8, kRate)) /
         seconds(elapsed);
}

void stations(benchmark::State& state, Topology topology) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto length = static_cast<std::size_t>(state.range(1));
  BenchNetwork network({.topology = topology, .stations = count, .frameLength = length});
  NetworkFigures sum;
  for (auto _ : state) {
    const NetworkFigures figures = network.run(kFramesPerRun / count);
    state.SetIterationTime(figures.hostSeconds);
    sum.delivered += figures.delivered;
    sum.carried += figures.carried;
    sum.virtualTime += figures.virtualTime;
    sum.hostSeconds += figures.hostSeconds;
    sum.collisions += figures.collisions;
    sum.givenUp += figures.givenUp;
  }
  const double delivered = static_cast<double>(sum.delivered);
  const double virtualSeconds = seconds(sum.virtualTime);
  state.counters["ns_per_frame"] = sum.hostSeconds * 1e9 / delivered;
  state.counters["speed"] = virtualSeconds / sum.hostSeconds;
  state.counters["mbps"] = delivered * static_cast<double>(length) * 8 / virtualSeconds / 1e6;
  // Every port delivering frames back to back: the wire's limit, N times.
  state.counters["bound_mbps"] =
      static_cast<double>(count * length) * 8 / seconds(wireSlot(length, kRate)) / 1e6;
  if (topology == Topology::Hub) {
    state.counters["efficiency"] = efficiency(sum.carried, length, sum.virtualTime);
    state.counters["collisions_per_frame"] = static_cast<double>(sum.collisions) / delivered;
    state.counters["given_up"] = static_cast<double>(sum.givenUp);
  }
}

void switchStations(benchmark::State& state) { stations(state, Topology::Switch); }
void hubStations(benchmark::State& state) { stations(state, Topology::Hub); }

void stationArguments(benchmark::internal::Benchmark* bench) {
  bench->ArgNames({"stations", "length"});
  for (const std::int64_t length : {60, 1514}) {
    for (const std::int64_t count : {2, 4, 8, 16, 32, 64}) {
      bench->Args({count, length});
    }
  }
  bench->UseManualTime()->Iterations(2)->Repetitions(3)->Unit(benchmark::kMillisecond);
}

BENCHMARK(switchStations)->Name("SwitchStations")->Apply(stationArguments);
BENCHMARK(hubStations)->Name("HubStations")->Apply(stationArguments);

}  // namespace
}  // namespace kl::bench
