// A seeded soak: two adapters exchange random traffic both ways, of random
// sizes and buffer shapes, in rounds. In each round a randomly chosen fault
// hits either card while frames flow (transmit aborts, receive overruns,
// interrupt-line glitches, a pulled cable, a PHY event, a reset of either
// adapter, or either adapter halted and initialized again with one of the
// NDIS calls of its initialize failing, and again cleanly where that one
// failed), is lifted, and then a clean stretch of traffic follows, every
// frame of which must arrive. Every frame a round loses is counted against
// what its fault may take: a glitch or a PHY event nothing; any other the
// frames the receiving card heard and did not store (stopped to restart
// after an abort, or overflowed; an aborted frame itself goes again), and
// for a pulled cable, a reset or a halt also the frames under way when it
// hit and those sent until the link is back. Over the whole run every packet comes back
// exactly once and nothing arrives damaged, twice or out of order.
//
// KL7046_SOAK_FRAMES (20000) bounds the frames each side sends and
// KL7046_SOAK_SEED (7046) seeds everything, the cards' times included (they
// run at the random corner); the same seed repeats the run.
// The figures are printed as one line starting "soak:".
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>

#include "end_to_end/two_stations.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;

constexpr sim::Duration kStep = 50us;
constexpr unsigned kFaultSteps = 300;  // 15 ms of traffic under each fault
constexpr std::uint64_t kRoundFrames = 100;
constexpr sim::Duration kSettle = 20ms;

enum Fault : std::uint8_t {
  kTransmitAborts,
  kReceiveOverruns,
  kLineGlitches,
  kCablePulled,
  kPhyEvent,
  kReset,
  kFailedNdisCall,
  kFaultKinds
};
constexpr std::array<const char*, kFaultKinds> kFaultNames = {
    "transmit aborts", "receive overruns", "line glitches",    "cable pulls",
    "PHY events",      "resets",           "failed NDIS calls"};

// The calls an initialize makes that can fail, with how many of each.
constexpr std::array<std::pair<sim::NdisOperation, unsigned>, 6> kInitializeCalls = {{
    {sim::NdisOperation::AllocateMemory, 1},
    {sim::NdisOperation::OpenConfiguration, 1},
    {sim::NdisOperation::ReadConfiguration, 6},
    {sim::NdisOperation::ReadNetworkAddress, 1},
    {sim::NdisOperation::RegisterIoPortRange, 1},
    {sim::NdisOperation::RegisterInterrupt, 1},
}};

std::uint64_t FromEnvironment(const char* name, std::uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::strtoull(value, nullptr, 10) : fallback;
}

// Halts the adapter of `side` and initializes it with one call of the
// initialize failing; where the adapter does not come up so, initializes it
// again with nothing failing. Its station opens it afresh.
void InitializeAgainFailing(TwoStations& world, std::size_t side, std::mt19937_64& random) {
  sim::MiniportAdapter& adapter = world.pair().adapter(side);
  adapter.halt();
  const auto& [operation, calls] = kInitializeCalls.at(random() % kInitializeCalls.size());
  sim::NdisFailures& failures = world.machine().ndisFailures();
  failures.failCall(operation, 1 + random() % calls, NDIS_STATUS_RESOURCES);
  const bool up = adapter.initialize() == NDIS_STATUS_SUCCESS;
  failures.clear();
  if (!up) {
    ASSERT_EQ(adapter.initialize(), NDIS_STATUS_SUCCESS);
  }
  ASSERT_EQ(world.station(side).open(kUsualFilter, kGroup), NDIS_STATUS_SUCCESS);
}

// Frames of each side's stream that have reached the other side so far.
std::array<std::uint64_t, 2> Delivered(TwoStations& world) {
  return {world.station(1).counts().framesReceived, world.station(0).counts().framesReceived};
}

bool LinkUp(TwoStations& world) {
  for (std::size_t side = 0; side < 2; ++side) {
    if (sim::world::queryUlong(world.pair().adapter(side), OID_GEN_MEDIA_CONNECT_STATUS) !=
        static_cast<ULONG>(NdisMediaStateConnected)) {
      return false;
    }
  }
  return true;
}

// Frames of each side's stream that the other side's card heard and did not
// store (while stopped, or overflowed).
std::array<std::uint64_t, 2> NotStored(TwoStations& world) {
  return {world.pair().card(1).controller().framesNotStored(),
          world.pair().card(0).controller().framesNotStored()};
}

void Pump(TwoStations& world) {
  world.station(0).pump();
  world.station(1).pump();
  world.machine().runFor(kStep);
}

TEST(Soak, RandomTrafficFaultsAndResetsLoseNothingTheyDoNotExplain) {
  const std::uint64_t seed = FromEnvironment("KL7046_SOAK_SEED", 7046);
  const std::uint64_t frames = FromEnvironment("KL7046_SOAK_FRAMES", 20000);
  SCOPED_TRACE("soak seed " + std::to_string(seed) + " (KL7046_SOAK_SEED), timing random");
  TwoStations world(
      seed, {.minSize = 21, .maxSize = 1514},
      sim::world::defaultSlots(kFirstStation, kSecondStation), {},
      sim::card::TimingSetup{.corner = sim::card::TimingCorner::Random, .seed = seed});
  world.bringUp();
  std::mt19937_64 random(seed);
  std::array<std::uint64_t, kFaultKinds> survived{};
  std::array<std::uint64_t, kFaultKinds> lost{};
  std::uint64_t cleanFrames = 0;

  while (world.station(0).counts().framesSent < frames) {
    const auto fault = static_cast<Fault>(random() % kFaultKinds);
    const unsigned at = static_cast<unsigned>(random() % kFaultSteps);
    const std::size_t side = random() % 2;
    SCOPED_TRACE(std::string("round with ") + kFaultNames[fault] + " on card " +
                 std::to_string(side));
    sim::card::CardFaults& faults = world.pair().card(side).faults();
    const std::array<std::uint64_t, 2> roundStart = world.framesSent();
    // What the fault may take from each sender's stream; while an outage
    // lasts, everything sent.
    std::array<std::uint64_t, 2> mayLose{};
    std::array<std::uint64_t, 2> outageFrom{};
    bool outage = false;
    const std::array<std::uint64_t, 2> notStoredBefore = NotStored(world);
    const auto endOutage = [&] {
      const std::array<std::uint64_t, 2> sent = world.framesSent();
      for (std::size_t s = 0; s < 2; ++s) {
        mayLose[s] = sent[s] - outageFrom[s];
      }
      outage = false;
    };
    world.station(0).aim(world.station(1).address(), kRoundFrames);
    world.station(1).aim(world.station(0).address(), kRoundFrames);
    for (unsigned step = 0; step < kFaultSteps; ++step) {
      if (step == at) {
        switch (fault) {
          case kTransmitAborts:
            faults.transmitAborts = 1 + random() % 16;
            break;
          case kReceiveOverruns:
            faults.receiveOverruns = 1 + random() % 4;
            break;
          case kLineGlitches:
            faults.lineGlitch = true;
            break;
          case kCablePulled:
            outageFrom = Delivered(world);
            outage = true;
            world.pair().cable().setConnected(false);
            break;
          case kPhyEvent:
            world.pair().card(side).raisePhyEvent();
            break;
          case kReset:
            outageFrom = Delivered(world);
            outage = true;
            ASSERT_EQ(world.pair().adapter(side).reset(), NDIS_STATUS_SUCCESS);
            break;
          case kFailedNdisCall:
            outageFrom = Delivered(world);
            outage = true;
            InitializeAgainFailing(world, side, random);
            break;
          case kFaultKinds:
            break;
        }
      }
      if (fault == kLineGlitches && step > at && step % 3 == 0) {
        faults.lineGlitch = true;
      }
      if (fault == kCablePulled && step == at + 20) {
        world.pair().cable().setConnected(true);
      }
      Pump(world);
      if (outage && world.pair().cable().connected() && LinkUp(world)) {
        endOutage();
      }
    }
    faults = {};
    if (!world.pair().cable().connected()) {
      world.pair().cable().setConnected(true);
    }
    // What the fault set going (a restart after an abort, a recovery after
    // an overrun) finishes before the clean stretch starts.
    world.station(0).aim(world.station(1).address(), 0);
    world.station(1).aim(world.station(0).address(), 0);
    world.machine().runFor(kSettle);
    ASSERT_TRUE(world.pair().waitForLink(5s));
    if (outage) {
      endOutage();
    }
    const bool lossless = fault == kLineGlitches || fault == kPhyEvent;
    for (std::size_t s = 0; s < 2; ++s) {
      if (!lossless) {
        mayLose[s] += NotStored(world)[s] - notStoredBefore[s];
      }
      const std::uint64_t missing = world.missingSince(s, roundStart[s]);
      EXPECT_LE(missing, mayLose[s]) << "station " << s << " lost more than the fault took";
      lost[fault] += missing;
    }
    ++survived[fault];

    const std::array<std::uint64_t, 2> sentBefore = world.framesSent();
    ASSERT_TRUE(world.exchange(kRoundFrames));
    EXPECT_EQ(world.missingSince(0, sentBefore[0]), 0U) << "lost in a clean stretch";
    EXPECT_EQ(world.missingSince(1, sentBefore[1]), 0U) << "lost in a clean stretch";
    cleanFrames += 2 * kRoundFrames;
    if (::testing::Test::HasFailure()) {
      break;
    }
  }

  world.expectEveryPacketBackOnce();
  world.expectNothingDamagedTwiceOrLate();
  std::uint64_t checked = 0;
  std::uint64_t sent = 0;
  for (std::size_t s = 0; s < 2; ++s) {
    checked += world.station(s).counts().framesReceived;
    sent += world.station(s).counts().framesSent;
  }
  std::uint64_t faultCount = 0;
  std::string kinds;
  for (std::size_t kind = 0; kind < kFaultKinds; ++kind) {
    faultCount += survived[kind];
    kinds += std::string(kind == 0 ? "" : ", ") + kFaultNames[kind] + " " +
             std::to_string(survived[kind]) + " (" + std::to_string(lost[kind]) + " lost)";
  }
  std::printf(
      "soak: seed %llu, timing random, %llu frames sent, %llu checked intact (%llu in clean "
      "stretches, none lost), %llu lost to faults, %llu faults survived (%s)\n",
      static_cast<unsigned long long>(seed), static_cast<unsigned long long>(sent),
      static_cast<unsigned long long>(checked), static_cast<unsigned long long>(cleanFrames),
      static_cast<unsigned long long>(sent - checked), static_cast<unsigned long long>(faultCount),
      kinds.c_str());
}

}  // namespace
}  // namespace kl::test
