// The PHY parts and their link: clause 28 resolution, the link's times at
// every timing corner, the latching-low link status, the vendor registers, and
// the card's PHY event at every change of link state.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "sim/card/card.h"
#include "sim/card/phy/link_partner.h"
#include "sim/card/phy/link_segment.h"
#include "sim/card/phy/phy.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

constexpr LinkMode k100Full{Speed::Mbit100, Duplex::Full};
constexpr LinkMode k100Half{Speed::Mbit100, Duplex::Half};
constexpr LinkMode k10Full{Speed::Mbit10, Duplex::Full};
constexpr LinkMode k10Half{Speed::Mbit10, Duplex::Half};
constexpr std::uint16_t kSelector = ability::kSelector8023;

LinkSignal negotiating(std::uint16_t abilities) {
  return LinkSignal::negotiating(abilities | kSelector);
}

// ---------------------------------------------------------------------------
// Resolution, at both ends of the pair.

struct ResolveCase {
  std::string name;
  LinkSignal local;
  LinkSignal remote;
  bool up;
  LinkMode localMode;
  LinkMode remoteMode;
  bool negotiated;  // both ends see a partner that negotiated
};

class Resolution : public testing::TestWithParam<ResolveCase> {};

TEST_P(Resolution, BothEndsAgreeOnTheLink) {
  const ResolveCase& row = GetParam();
  const LinkResult local = resolveLink(row.local, row.remote);
  const LinkResult remote = resolveLink(row.remote, row.local);
  EXPECT_EQ(local.up, row.up);
  EXPECT_EQ(remote.up, row.up);
  if (row.up) {
    EXPECT_EQ(local.mode, row.localMode);
    EXPECT_EQ(remote.mode, row.remoteMode);
    EXPECT_EQ(local.mode.speed, remote.mode.speed) << "a link that is up runs one speed";
  }
  EXPECT_EQ(local.partnerNegotiated, row.negotiated);
  EXPECT_EQ(remote.partnerNegotiated, row.negotiated);
  if (row.negotiated) {
    EXPECT_EQ(local.partnerAbility, row.remote.advertisement | ability::kAcknowledge);
  } else {
    EXPECT_EQ(local.partnerAbility, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Clause28, Resolution,
    testing::Values(
        ResolveCase{"AllAndAll", negotiating(ability::kAll), negotiating(ability::kAll), true,
                    k100Full, k100Full, true},
        ResolveCase{"HundredHalfBeatsTenFull", negotiating(ability::kAll),
                    negotiating(ability::k100BaseTx | ability::k10BaseTFull), true, k100Half,
                    k100Half, true},
        ResolveCase{"TenFullBeatsTenHalf", negotiating(ability::k10BaseT | ability::k10BaseTFull),
                    negotiating(ability::kAll), true, k10Full, k10Full, true},
        ResolveCase{"TenHalfOnly", negotiating(ability::k10BaseT), negotiating(ability::kAll), true,
                    k10Half, k10Half, true},
        ResolveCase{"NothingInCommon",
                    negotiating(ability::k10BaseT),
                    negotiating(ability::k100BaseTx | ability::k100BaseTxFull),
                    false,
                    {},
                    {},
                    false},
        ResolveCase{"ParallelDetection100", negotiating(ability::kAll),
                    LinkSignal::forcedTo(k100Full), true, k100Half, k100Full, false},
        ResolveCase{"ParallelDetection10", negotiating(ability::kAll),
                    LinkSignal::forcedTo(k10Half), true, k10Half, k10Half, false},
        ResolveCase{"ForcedAgainstForcedSameSpeed", LinkSignal::forcedTo(k100Half),
                    LinkSignal::forcedTo(k100Full), true, k100Half, k100Full, false},
        ResolveCase{"ForcedSpeedsDiffer",
                    LinkSignal::forcedTo(k10Half),
                    LinkSignal::forcedTo(k100Half),
                    false,
                    {},
                    {},
                    false},
        ResolveCase{
            "PartnerSilent", negotiating(ability::kAll), LinkSignal::none(), false, {}, {}, false},
        ResolveCase{"ForcedAndSilent",
                    LinkSignal::forcedTo(k10Full),
                    LinkSignal::none(),
                    false,
                    {},
                    {},
                    false}),
    CaseName{});

// ---------------------------------------------------------------------------
// A PHY on a segment with a scripted partner.

// Longer than any link takes to come up, at any corner.
constexpr Duration kSettled = 5s;

struct LinkBench {
  explicit LinkBench(const PhyConfig& config = {}, LinkPartner partnerEnd = LinkPartner{},
                     const TimingSetup& timing = {})
      : phy(clock, config, timing),
        partner(partnerEnd.signal()),
        segment(clock, phy, partner, timing) {
    phy.onLinkChange([this](const LinkResult& link) { events.push_back(link.up); });
  }
  void run(Duration duration) { runUntil(clock, clock.now() + duration); }
  bool linkStatus() { return (phy.readRegister(mii::kBmsr) & mii::kBmsrLinkStatus) != 0; }

  std::vector<bool> events;  // outlives the segment, which reports its end
  Clock clock;
  Phy phy;
  LinkPartner partner;
  LinkSegment segment;
};

// The value of `timing` at a fixed corner.
Duration At(TimingCorner corner, Timing timing) { return TimingSource({.corner = corner})(timing); }

// The sum of `timings` at `corner`.
Duration Sum(TimingCorner corner, const std::vector<Timing>& timings) {
  Duration sum{};
  for (const Timing timing : timings) {
    sum += At(corner, timing);
  }
  return sum;
}

const std::vector<TimingCorner> kFixedCorners = {TimingCorner::Fastest, TimingCorner::Typical,
                                                 TimingCorner::Slowest};

// How long a link takes to come up from the PHY's power-up, by the kind of
// partner: the times that add up to it.
struct BringUpRow {
  std::string name;
  LinkSignal partner;
  std::vector<Timing> takes;
  LinkMode mode;
};

class LinkBringUp : public testing::TestWithParam<BringUpRow> {};

TEST_P(LinkBringUp, TakesItsTimesAtEveryCornerAndWithinThemAtRandom) {
  const BringUpRow& row = GetParam();
  for (const TimingCorner corner : kFixedCorners) {
    SCOPED_TRACE(std::string(cornerName(corner)));
    LinkBench bench({}, LinkPartner{row.partner}, TimingSetup{.corner = corner});
    const Duration expected = Sum(corner, row.takes);
    bench.run(expected - 1ns);
    EXPECT_FALSE(bench.phy.link().up);
    bench.run(1ns);
    EXPECT_TRUE(bench.phy.link().up);
    EXPECT_EQ(bench.phy.link().mode, row.mode);
  }
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("random, seed " + std::to_string(seed));
    LinkBench bench({}, LinkPartner{row.partner},
                    TimingSetup{.corner = TimingCorner::Random, .seed = seed});
    bench.run(Sum(TimingCorner::Fastest, row.takes) - 1ns);
    EXPECT_FALSE(bench.phy.link().up);
    bench.run(Sum(TimingCorner::Slowest, row.takes) - Sum(TimingCorner::Fastest, row.takes) + 1ns);
    EXPECT_TRUE(bench.phy.link().up);
  }
}

INSTANTIATE_TEST_SUITE_P(Partners, LinkBringUp,
                         testing::Values(BringUpRow{"Negotiating",
                                                    negotiating(ability::kAll),
                                                    {Timing::PhyPowerUp, Timing::BreakLink,
                                                     Timing::AbilityExchange, Timing::LinkReady100},
                                                    k100Full},
                                         BringUpRow{"NegotiatingTenOnly",
                                                    negotiating(ability::k10BaseT),
                                                    {Timing::PhyPowerUp, Timing::BreakLink,
                                                     Timing::AbilityExchange, Timing::LinkPass10},
                                                    k10Half},
                                         BringUpRow{"Forced100",
                                                    LinkSignal::forcedTo(k100Full),
                                                    {Timing::PhyPowerUp, Timing::BreakLink,
                                                     Timing::LinkReady100, Timing::AutonegWait},
                                                    k100Half},
                                         BringUpRow{"Forced10",
                                                    LinkSignal::forcedTo(k10Full),
                                                    {Timing::PhyPowerUp, Timing::BreakLink,
                                                     Timing::LinkPass10, Timing::AutonegWait},
                                                    k10Half}),
                         CaseName{});

// What takes a running 100 Mbit/s link down, and when the PHY sees it go:
// at once when it restarts itself, after its link-loss time otherwise. Either
// way the far end breaks the link after it notices, and the pair comes back
// after that and a negotiation.
enum class Upset : std::uint8_t { PhyRestarts, PartnerRenegotiates, CablePulledAndPlugged };

struct UpsetRow {
  std::string name;
  Upset upset;
  bool phyNoticesLate;
};

class LinkUpset : public testing::TestWithParam<UpsetRow> {};

TEST_P(LinkUpset, DropsAndReturnsAtTheTimesOfEveryCorner) {
  const UpsetRow& row = GetParam();
  for (const TimingCorner corner : kFixedCorners) {
    SCOPED_TRACE(std::string(cornerName(corner)));
    LinkBench bench({}, LinkPartner{}, TimingSetup{.corner = corner});
    bench.run(kSettled);
    ASSERT_EQ(bench.phy.link().mode, k100Full);
    switch (row.upset) {
      case Upset::PhyRestarts:
        bench.phy.writeRegister(mii::kBmcr, mii::kBmcrAutoNegotiate | mii::kBmcrRestart);
        break;
      case Upset::PartnerRenegotiates:
        bench.partner.negotiate(ability::kAll);
        break;
      case Upset::CablePulledAndPlugged:
        bench.segment.setConnected(false);
        bench.segment.setConnected(true);
        break;
    }
    const Duration loss = At(corner, Timing::LinkLoss100);
    if (row.phyNoticesLate && loss > Duration{}) {
      EXPECT_TRUE(bench.phy.link().up) << "the loss is not noticed at once";
      bench.run(loss - 1ns);
      EXPECT_TRUE(bench.phy.link().up);
      bench.run(1ns);
    }
    EXPECT_FALSE(bench.phy.link().up);
    const Duration back = Sum(corner, {Timing::LinkLoss100, Timing::BreakLink,
                                       Timing::AbilityExchange, Timing::LinkReady100});
    bench.run(back - (row.phyNoticesLate ? loss : Duration{}) - 1ns);
    EXPECT_FALSE(bench.phy.link().up);
    bench.run(1ns);
    EXPECT_TRUE(bench.phy.link().up);
    EXPECT_EQ(bench.events, (std::vector<bool>{true, false, true}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Upsets, LinkUpset,
    testing::Values(UpsetRow{"PhyRestarts", Upset::PhyRestarts, false},
                    UpsetRow{"PartnerRenegotiates", Upset::PartnerRenegotiates, true},
                    UpsetRow{"CablePulledAndPlugged", Upset::CablePulledAndPlugged, true}),
    CaseName{});

TEST(PhyLink, ComesUpWithTheAbilitiesOfBothEnds) {
  LinkBench bench;
  bench.run(kSettled);
  EXPECT_TRUE(bench.linkStatus());
  EXPECT_EQ(bench.events, std::vector<bool>{true});
  EXPECT_NE(bench.phy.readRegister(mii::kBmsr) & mii::kBmsrAutoNegotiationComplete, 0);
  EXPECT_EQ(bench.phy.readRegister(mii::kAnlpar),
            ability::kAll | kSelector | ability::kAcknowledge);
  EXPECT_EQ(bench.phy.readRegister(mii::kAner), mii::kAnerPartnerNegotiates);
}

TEST(PhyLink, LinkStatusLatchesLowUntilRead) {
  LinkBench bench;
  bench.run(kSettled);
  ASSERT_TRUE(bench.linkStatus());
  bench.segment.setConnected(false);
  bench.segment.setConnected(true);
  bench.run(kSettled);  // back up, but the drop has not been read yet
  EXPECT_TRUE(bench.phy.link().up);
  EXPECT_FALSE(bench.linkStatus());
  EXPECT_TRUE(bench.linkStatus());
  EXPECT_EQ(bench.events, (std::vector<bool>{true, false, true}));
}

TEST(PhyLink, RestartAndReEnableDropTheLinkAndNegotiateAgain) {
  LinkBench bench;
  bench.run(kSettled);
  bench.phy.writeRegister(mii::kBmcr, mii::kBmcrAutoNegotiate | mii::kBmcrRestart);
  EXPECT_FALSE(bench.phy.link().up);
  EXPECT_EQ(bench.phy.readRegister(mii::kBmcr) & mii::kBmcrRestart, 0) << "restart self-clears";
  bench.run(kSettled);
  EXPECT_TRUE(bench.phy.link().up);

  // Forced to a mode the link does not run at: down, then up in that mode.
  bench.phy.writeRegister(mii::kBmcr, 0);
  EXPECT_FALSE(bench.phy.link().up);
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k10Half);
  EXPECT_EQ(bench.partner.link().mode, k10Half);
  EXPECT_EQ(bench.phy.readRegister(mii::kAner), 0);
  EXPECT_EQ(bench.phy.readRegister(mii::kAnlpar), 0);

  // Auto-negotiation switched back on: renegotiated.
  bench.phy.writeRegister(mii::kBmcr, mii::kBmcrAutoNegotiate);
  EXPECT_FALSE(bench.phy.link().up);
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k100Full);
  EXPECT_EQ(bench.events, (std::vector<bool>{true, false, true, false, true, false, true}));
}

TEST(PhyLink, ForcingTheModeTheLinkRunsAtKeepsIt) {
  LinkBench bench({}, LinkPartner{LinkSignal::forcedTo(k100Half)});
  bench.run(kSettled);
  ASSERT_EQ(bench.phy.link().mode, k100Half);
  bench.phy.writeRegister(mii::kBmcr, mii::kBmcrSpeed100);
  bench.run(kSettled);
  EXPECT_TRUE(bench.phy.link().up);
  EXPECT_EQ(bench.events, std::vector<bool>{true});
}

TEST(PhyLink, AdvertisementIsTakenAtTheNextNegotiation) {
  LinkBench bench;
  bench.phy.writeRegister(mii::kAnar, ability::k10BaseT | kSelector);  // before it settles
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k10Half);
  bench.phy.writeRegister(mii::kAnar, ability::kAll | kSelector);
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k10Half) << "a running link is kept";
  bench.phy.writeRegister(mii::kBmcr, mii::kBmcrAutoNegotiate | mii::kBmcrRestart);
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k100Full);
}

// Two ends with nothing in common try again from the start once the
// link_fail_inhibit_timer has run out, with what they advertise by then.
TEST(PhyLink, NothingInCommonIsNegotiatedAgainWithTheNewAdvertisement) {
  constexpr TimingCorner kCorner = TimingCorner::Typical;
  LinkBench bench({.anarAtReset = ability::k10BaseT | kSelector},
                  LinkPartner{negotiating(ability::k100BaseTx)});
  const Duration firstTry =
      Sum(kCorner, {Timing::PhyPowerUp, Timing::BreakLink, Timing::AbilityExchange});
  bench.run(firstTry);
  EXPECT_FALSE(bench.phy.link().up);
  bench.phy.writeRegister(mii::kAnar, ability::kAll | kSelector);  // no restart
  const Duration again = Sum(kCorner, {Timing::LinkFailInhibit, Timing::BreakLink,
                                       Timing::AbilityExchange, Timing::LinkReady100});
  bench.run(again - 1ns);
  EXPECT_FALSE(bench.phy.link().up);
  bench.run(1ns);
  EXPECT_EQ(bench.phy.link().mode, k100Half);
}

// A part whose ability bits are strapped keeps advertising them whatever is
// written.
TEST(PhyLink, ReadOnlyAbilitiesAreAdvertisedWhateverIsWritten) {
  LinkBench bench({.anarReadOnly = ability::kAll});
  bench.phy.writeRegister(mii::kAnar, ability::k10BaseT | kSelector);
  EXPECT_EQ(bench.phy.readRegister(mii::kAnar), ability::kAll | kSelector);
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k100Full);
}

TEST(PhyLink, ResetHoldsThePartThenRestoresTheStrappedRegisters) {
  LinkBench bench;
  bench.run(kSettled);
  bench.phy.writeRegister(mii::kAnar, ability::k10BaseT | kSelector);
  bench.phy.writeRegister(mii::kBmcr, 0);
  bench.phy.writeRegister(mii::kBmcr, mii::kBmcrReset);
  EXPECT_FALSE(bench.phy.link().up);
  EXPECT_EQ(bench.phy.readRegister(mii::kBmcr), 0xB100) << "in reset";
  bench.phy.writeRegister(mii::kBmcr, 0);  // not taken during the reset
  bench.run(At(TimingCorner::Typical, Timing::PhyReset));
  EXPECT_EQ(bench.phy.readRegister(mii::kBmcr), 0x3100);
  EXPECT_EQ(bench.phy.readRegister(mii::kAnar), 0x01E1);
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k100Full);
}

TEST(PhyLink, PartnerChangesRestartTheLink) {
  LinkBench bench;
  bench.run(kSettled);
  bench.partner.silence();
  bench.run(kSettled);
  EXPECT_FALSE(bench.phy.link().up);
  bench.partner.force(k10Full);
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k10Half);
  EXPECT_EQ(bench.partner.link().mode, k10Full);
  bench.partner.negotiate(ability::k100BaseTx);
  bench.run(kSettled);
  EXPECT_EQ(bench.phy.link().mode, k100Half);
  EXPECT_EQ(bench.phy.readRegister(mii::kAnlpar),
            ability::k100BaseTx | kSelector | ability::kAcknowledge);
}

// ---------------------------------------------------------------------------
// Identifiers and vendor status registers.

struct ModelCase {
  std::string name;
  PhyModel model;
  LinkMode mode;
  std::uint8_t statusRegister;
  std::uint16_t status;
};

class VendorStatus : public testing::TestWithParam<ModelCase> {};

TEST_P(VendorStatus, ReportsTheResolvedLink) {
  const ModelCase& row = GetParam();
  LinkBench bench(PhyConfig{.model = row.model}, LinkPartner{LinkSignal::forcedTo(row.mode)});
  bench.run(rangeOf(Timing::PhyPowerUp).typical);  // BMCR writes are taken from then on
  bench.phy.writeRegister(mii::kBmcr,
                          (row.mode.speed == Speed::Mbit100 ? mii::kBmcrSpeed100 : 0) |
                              (row.mode.duplex == Duplex::Full ? mii::kBmcrFullDuplex : 0));
  bench.run(kSettled);
  ASSERT_EQ(bench.phy.link().mode, row.mode);
  EXPECT_EQ(bench.phy.readRegister(mii::kPhyId1), row.model.id >> 16);
  EXPECT_EQ(bench.phy.readRegister(mii::kPhyId2), row.model.id & 0xFFFF);
  EXPECT_EQ(bench.phy.readRegister(row.statusRegister), row.status);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, VendorStatus,
    testing::Values(ModelCase{"P8201At100", phy8201(), k100Half, 0x19, 0x03F9},
                    ModelCase{"P8201At100Full", phy8201(), k100Full, 0x19, 0x03F9},
                    ModelCase{"P8201At10", phy8201(), k10Full, 0x19, 0x03F8},
                    ModelCase{"P78E1At100Full", phy78E1(), k100Full, 0x11, 0x6400},
                    ModelCase{"P78E1At10Half", phy78E1(), k10Half, 0x11, 0x0400},
                    ModelCase{"P5C21At100Half", phy5C21(), k100Half, 0x10, 0x0001},
                    ModelCase{"P5C21At10Full", phy5C21(), k10Full, 0x10, 0x0007},
                    ModelCase{"GenericHasNone", genericPhy(0x01234567), k100Full, 0x19, 0x0000}),
    CaseName{});

TEST(PhyRegisters, OnlyThePartWithOneHasTheSetupRegister) {
  Clock clock;
  Phy with(clock, PhyConfig{.model = phy78E1()});
  Phy without(clock, PhyConfig{.model = phy8201()});
  with.writeRegister(0x14, 0x54D2);
  without.writeRegister(0x14, 0x54D2);
  EXPECT_EQ(with.readRegister(0x14), 0x54D2);
  EXPECT_EQ(without.readRegister(0x14), 0x0000);
}

// ---------------------------------------------------------------------------
// The card: the PHY on its management bus, link changes as PHY events.

TEST(CardPhy, EveryChangeOfLinkStateRaisesThePhyEvent) {
  Clock clock;
  Card card(clock);
  LinkPartner partner;
  LinkSegment segment(clock, *card.phy(), partner, card.timing());
  const auto run = [&clock](Duration d) { runUntil(clock, clock.now() + d); };
  // Interrupt output on, event latch clear.
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x01);
  EXPECT_FALSE(card.interruptAsserted());
  run(kSettled);
  EXPECT_TRUE(card.vendor().phyEventPending());
  EXPECT_TRUE(card.interruptAsserted());
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x02);  // acknowledge
  EXPECT_FALSE(card.vendor().phyEventPending());
  segment.setConnected(false);
  run(rangeOf(Timing::LinkLoss100).most);  // noticed
  EXPECT_TRUE(card.vendor().phyEventPending());
}

TEST(CardPhy, CardWithoutPhyFloatsMdio) {
  Clock clock;
  Card card(clock, CardConfig{.phy = std::nullopt, .mdioFloating = MdioLevel::Low});
  EXPECT_EQ(card.phy(), nullptr);
  card.write8(port::CR, cr::kPage3Start);
  card.write8(port::MIIMR, 0x04);  // MDIO released
  EXPECT_EQ(card.read8(port::MIIMR) & 0x08, 0);
  card.mii().setFloatingLevel(MdioLevel::High);
  EXPECT_EQ(card.read8(port::MIIMR) & 0x08, 0x08);
}

}  // namespace
}  // namespace kl::sim::card::test
