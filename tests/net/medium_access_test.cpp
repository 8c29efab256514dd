// Half-duplex medium access on the cable: deferral to a frame that is on the
// wire, collisions of starts within the slot time and none after it, the
// runts and damaged frames that collisions leave at the receivers, the
// backoff range after each collision, and the frame given up on the 16th.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/core/clock.h"
#include "sim/core/random.h"
#include "sim/net/cable.h"
#include "sim/net/ethernet.h"
#include "sim/net/frame_endpoint.h"

namespace kl::sim::net {
namespace {

constexpr BitRate kRate = BitRate::Mbit10;

Duration bits(std::uint64_t count) { return bitTime(count, kRate); }

// `length` bytes without FCS, to a station address, marked by `mark`.
WireFrame frameOf(std::size_t length, std::uint8_t mark) {
  std::vector<std::uint8_t> frame(length);
  for (std::size_t i = 0; i < length; ++i) {
    frame[i] = static_cast<std::uint8_t>(mark * 31 + i);
  }
  frame[0] = 0x02;
  frame[1] = mark;
  return WireFrame{withFcs(frame)};
}

// Two endpoints on a 10 Mbit/s cable; the near one (A) runs half duplex.
struct Rig {
  explicit Rig(Duplex far, std::uint64_t seed = 1)
      : random(seed),
        cable(clock, kRate),
        near(cable.end(Cable::Side::A), clock),
        farEnd(cable.end(Cable::Side::B), clock) {
    cable.useRandom(random);
    cable.end(Cable::Side::A).setDuplex(Duplex::Half);
    cable.end(Cable::Side::B).setDuplex(far);
    cable.onFrame([this](const WireFrame& frame, Cable::Side /*from*/, VirtualTime /*at*/) {
      observed.push_back(frame.bytes);
    });
  }

  // `frame` leaves `side` at `at`; its outcome lands in `outcome`.
  void sendAt(Cable::Side side, VirtualTime at, WireFrame frame,
              std::optional<SendOutcome>* outcome = nullptr) {
    clock.scheduleAt(at, [this, side, frame = std::move(frame), outcome]() mutable {
      cable.end(side).send(std::move(frame), [outcome](const SendOutcome& sent) {
        if (outcome != nullptr) {
          *outcome = sent;
        }
      });
    });
  }

  void run(Duration duration) { runUntil(clock, clock.now() + duration); }

  Clock clock;
  WorldRandom random;
  Cable cable;
  FrameEndpoint near;
  FrameEndpoint farEnd;
  std::vector<std::vector<std::uint8_t>> observed;
};

// Arrivals that are not whole frames: runts and frames with a bad FCS.
std::vector<std::size_t> damagedSizes(const FrameEndpoint& endpoint) {
  std::vector<std::size_t> sizes;
  for (const FrameEndpoint::Arrival& arrival : endpoint.arrivals()) {
    if (!fcsValid(arrival.frame.bytes)) {
      sizes.push_back(arrival.frame.bytes.size());
    }
  }
  return sizes;
}

std::size_t wholeCopies(const FrameEndpoint& endpoint, const WireFrame& frame) {
  std::size_t copies = 0;
  for (const FrameEndpoint::Arrival& arrival : endpoint.arrivals()) {
    copies += arrival.frame.bytes == frame.bytes ? 1 : 0;
  }
  return copies;
}

// ---------------------------------------------------------------------------
// Deferral: a frame from the far end that has been on the wire for the slot
// time is heard, and the half-duplex end waits for it and the gap.

struct DeferralCase {
  std::string name;
  Duplex far;
  std::uint64_t startBits;  // when the near end sends, after the far frame began
};

class Deferral : public testing::TestWithParam<DeferralCase> {};

TEST_P(Deferral, HalfDuplexEndWaitsForTheFarFrameAndTheGap) {
  const DeferralCase& c = GetParam();
  Rig rig(c.far);
  const WireFrame farFrame = frameOf(200, 1);
  const WireFrame nearFrame = frameOf(100, 2);
  std::optional<SendOutcome> nearOutcome;
  rig.sendAt(Cable::Side::B, 0ns, farFrame);
  rig.sendAt(Cable::Side::A, bits(c.startBits), nearFrame, &nearOutcome);
  rig.run(10ms);

  const VirtualTime farEnds = frameTime(farFrame.bytes.size(), kRate);
  ASSERT_EQ(rig.near.arrivals().size(), 1U);
  EXPECT_EQ(rig.near.arrivals()[0].frame.bytes, farFrame.bytes);
  ASSERT_EQ(rig.farEnd.arrivals().size(), 1U);
  EXPECT_EQ(rig.farEnd.arrivals()[0].frame.bytes, nearFrame.bytes);
  EXPECT_EQ(rig.farEnd.arrivals()[0].at,
            farEnds + interFrameGap(kRate) + frameTime(nearFrame.bytes.size(), kRate));
  ASSERT_TRUE(nearOutcome.has_value());
  EXPECT_EQ(nearOutcome->collisions, 0U);
  EXPECT_EQ(rig.cable.accessCounts(Cable::Side::A).deferrals, 1U);
  EXPECT_EQ(rig.cable.accessCounts(Cable::Side::A).collisions, 0U);
  EXPECT_EQ(rig.observed.size(), 2U);
}

// The far frame is 64 + 8 * 204 = 1696 bits long.
INSTANTIATE_TEST_SUITE_P(CarrierSense, Deferral,
                         testing::Values(DeferralCase{"OneSlotIn", Duplex::Half, 512},
                                         DeferralCase{"DeepIn", Duplex::Half, 1500},
                                         DeferralCase{"InTheGapBehindIt", Duplex::Half, 1750},
                                         DeferralCase{"FullDuplexFarEnd", Duplex::Full, 512}),
                         [](const auto& row) { return row.param.name; });

// ---------------------------------------------------------------------------
// Collisions: starts within the slot time of each other collide; what is
// left of a cut frame reaches the receiver as a runt, or past the slot time
// as a frame with a bad FCS; a full-duplex end neither stops nor retries,
// and its frame is lost to the half-duplex end that was sending.

struct CollisionCase {
  std::string name;
  Duplex far;
  std::uint64_t farStartBits;
  std::uint64_t nearStartBits;
  unsigned nearCollisions;  // at least
  bool late;
  std::vector<std::size_t> cutAtNear;  // sizes of what the near end got of cut frames
  std::vector<std::size_t> cutAtFar;
  bool farFrameReachesNear;
};

class Collision : public testing::TestWithParam<CollisionCase> {};

TEST_P(Collision, StartsWithinTheSlotTimeCollideAndRetry) {
  const CollisionCase& c = GetParam();
  Rig rig(c.far);
  const WireFrame farFrame = frameOf(1000, 1);
  const WireFrame nearFrame = frameOf(1000, 2);
  std::optional<SendOutcome> nearOutcome;
  std::optional<SendOutcome> farOutcome;
  rig.sendAt(Cable::Side::B, bits(c.farStartBits), farFrame, &farOutcome);
  rig.sendAt(Cable::Side::A, bits(c.nearStartBits), nearFrame, &nearOutcome);
  rig.run(100ms);

  ASSERT_TRUE(nearOutcome.has_value());
  ASSERT_TRUE(farOutcome.has_value());
  // Two half-duplex ends that draw the same backoff collide again, together.
  EXPECT_GE(nearOutcome->collisions, c.nearCollisions);
  EXPECT_EQ(farOutcome->collisions, c.far == Duplex::Half ? nearOutcome->collisions : 0U);
  EXPECT_EQ(nearOutcome->collisions > 0, c.nearCollisions > 0);
  EXPECT_EQ(nearOutcome->lateCollision, c.late);
  EXPECT_FALSE(nearOutcome->aborted);
  EXPECT_EQ(rig.cable.accessCounts(Cable::Side::A).collisions, nearOutcome->collisions);
  EXPECT_EQ(rig.cable.accessCounts(Cable::Side::A).lateCollisions, c.late ? 1U : 0U);
  EXPECT_EQ(damagedSizes(rig.near), c.cutAtNear);
  EXPECT_EQ(damagedSizes(rig.farEnd), c.cutAtFar);
  // The retried near frame gets through once; so does the far frame unless
  // the near end was sending over it.
  EXPECT_EQ(wholeCopies(rig.farEnd, nearFrame), 1U);
  EXPECT_EQ(wholeCopies(rig.near, farFrame), c.farFrameReachesNear ? 1U : 0U);
  EXPECT_EQ(rig.observed.size(), c.farFrameReachesNear ? 2U : 1U);
}

// A cut frame carries its bytes up to the collision (after 64 bits of
// preamble) and the 4 bytes of jam.
INSTANTIATE_TEST_SUITE_P(
    SlotTime, Collision,
    testing::Values(
        CollisionCase{"SameInstant", Duplex::Half, 0, 0, 1, false, {}, {}, true},
        CollisionCase{"LastBitOfTheSlot", Duplex::Half, 0, 511, 1, false, {59}, {}, true},
        CollisionCase{"NearStartedFirst", Duplex::Half, 300, 0, 1, false, {}, {33}, true},
        CollisionCase{"OneSlotApart", Duplex::Half, 0, 512, 0, false, {}, {}, true},
        CollisionCase{"FullDuplexFarWithinTheSlot", Duplex::Full, 0, 100, 1, false, {}, {}, false},
        CollisionCase{"FullDuplexFarStartsLate", Duplex::Full, 2000, 0, 1, true, {}, {246}, false}),
    [](const auto& row) { return row.param.name; });

// The far end, at full duplex, sends minimal frames back to back until
// `more` says no; it keeps the wire busy, so a half-duplex near end that
// sends meanwhile collides on every attempt.
void flood(Rig& rig, std::function<bool()> more, std::uint8_t mark = 0) {
  if (!more()) {
    return;
  }
  rig.cable.end(Cable::Side::B)
      .send(frameOf(60, mark), [&rig, more = std::move(more), mark](const SendOutcome& /*sent*/) {
        flood(rig, more, static_cast<std::uint8_t>(mark + 1));
      });
}

// What the near end's collisions were, when its one frame met a flood that
// lasted as long as `farFrames` says, with the world's generator at `seed`.
struct FloodRun {
  std::vector<CollisionReport> reports;
  std::optional<SendOutcome> outcome;
  std::vector<std::size_t> damagedAtNear;
  std::size_t wholeAtNear = 0;
  std::size_t wholeAtFar = 0;
  std::size_t observed = 0;
  std::size_t farSent = 0;
};

FloodRun runFlood(std::uint64_t seed, unsigned collisionsBeforeFarStops) {
  FloodRun result;
  Rig rig(Duplex::Full, seed);
  rig.cable.onCollision([&result](Cable::Side side, const CollisionReport& report) {
    EXPECT_EQ(side, Cable::Side::A);
    result.reports.push_back(report);
  });
  flood(rig, [&result, collisionsBeforeFarStops] {
    const bool more = result.reports.size() < collisionsBeforeFarStops;
    result.farSent += more ? 1 : 0;
    return more;
  });
  const WireFrame nearFrame = frameOf(60, 0xEE);
  rig.cable.end(Cable::Side::A).send(nearFrame, [&result](const SendOutcome& sent) {
    result.outcome = sent;
  });
  while (!result.outcome) {
    rig.run(1ms);
  }
  rig.run(1ms);
  result.damagedAtNear = damagedSizes(rig.near);
  result.wholeAtNear = rig.near.arrivals().size() - result.damagedAtNear.size();
  result.wholeAtFar = wholeCopies(rig.farEnd, nearFrame);
  result.observed = rig.observed.size();
  return result;
}

// ---------------------------------------------------------------------------
// Backoff: after its n-th collision a half-duplex end waits a whole number of
// slot times, evenly from 0 to 2^min(n, 10) - 1, from the end of its jam,
// and does not try before.

struct BackoffCase {
  std::string name;
  unsigned collision;
  std::uint64_t range;  // slot times to draw from
};

class Backoff : public testing::TestWithParam<BackoffCase> {
 protected:
  static constexpr std::uint64_t kSeeds = 100;

  // The same floods serve every row.
  static const std::vector<FloodRun>& runs() {
    static const std::vector<FloodRun> all = [] {
      std::vector<FloodRun> floods;
      for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
        floods.push_back(runFlood(seed, kAttemptLimit));
      }
      return floods;
    }();
    return all;
  }
};

TEST_P(Backoff, WaitAfterTheNthCollisionIsDrawnFromItsWholeRange) {
  const BackoffCase& c = GetParam();
  std::set<std::uint64_t> waits;
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const FloodRun& run = runs().at(seed - 1);
    ASSERT_TRUE(run.outcome->aborted);
    ASSERT_EQ(run.reports.size(), kAttemptLimit);
    const CollisionReport& nth = run.reports.at(c.collision - 1);
    const CollisionReport& next = run.reports.at(c.collision);
    ASSERT_EQ(nth.collisions, c.collision);
    ASSERT_TRUE(nth.retryAt.has_value());
    EXPECT_EQ(nth.jamEnd - nth.at, bits(kJamBits));
    EXPECT_GE(next.at, *nth.retryAt) << "tried again before its backoff was over";
    const Duration wait = *nth.retryAt - nth.jamEnd;
    ASSERT_EQ(wait % slotTime(kRate), 0ns);
    const auto slots = static_cast<std::uint64_t>(wait / slotTime(kRate));
    ASSERT_LT(slots, c.range);
    waits.insert(slots);
  }
  EXPECT_GE(*waits.rbegin(), c.range / 2) << "largest wait " << *waits.rbegin();
  if (c.range <= 16) {
    EXPECT_EQ(*waits.begin(), 0U);
    EXPECT_EQ(*waits.rbegin(), c.range - 1);
  }
}

INSTANTIATE_TEST_SUITE_P(PerCollision, Backoff,
                         testing::Values(BackoffCase{"First", 1, 2}, BackoffCase{"Second", 2, 4},
                                         BackoffCase{"Third", 3, 8}, BackoffCase{"Fourth", 4, 16},
                                         BackoffCase{"Tenth", 10, 1024},
                                         BackoffCase{"Eleventh", 11, 1024},
                                         BackoffCase{"Fifteenth", 15, 1024}),
                         [](const auto& row) { return row.param.name; });

// ---------------------------------------------------------------------------
// The attempt limit: a frame that has collided 15 times still gets through
// once the wire is free; the 16th collision gives it up. Each far frame it
// collided with never reached the near end, which was sending over it.

struct LimitCase {
  std::string name;
  unsigned farStopsAfter;  // near-end collisions
  bool aborted;
};

class AttemptLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(AttemptLimit, SixteenthCollisionGivesTheFrameUp) {
  const LimitCase& c = GetParam();
  constexpr std::uint64_t kSeed = 5;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  const FloodRun run = runFlood(kSeed, c.farStopsAfter);

  ASSERT_TRUE(run.outcome.has_value());
  EXPECT_EQ(run.outcome->collisions, c.farStopsAfter);
  EXPECT_EQ(run.outcome->aborted, c.aborted);
  EXPECT_EQ(run.reports.back().retryAt.has_value(), !c.aborted);
  EXPECT_EQ(run.wholeAtFar, c.aborted ? 0U : 1U);
  EXPECT_EQ(run.farSent - run.wholeAtNear, c.farStopsAfter);
  EXPECT_TRUE(run.damagedAtNear.empty());
  EXPECT_EQ(run.observed, run.wholeAtNear + run.wholeAtFar);
}

INSTANTIATE_TEST_SUITE_P(Attempts, AttemptLimit,
                         testing::Values(LimitCase{"FifteenCollisions", 15, false},
                                         LimitCase{"SixteenCollisions", 16, true}),
                         [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace kl::sim::net
