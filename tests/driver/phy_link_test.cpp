// PHY discovery, media selection and link tracking against the PHY models:
// what the driver finds, what it programs, and what it makes of the link
// each kind of partner gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "phy/phy.h"
#include "tests/driver/phy_bench.h"

namespace kl::test {
namespace {

using sim::card::CardConfig;
using sim::card::Duplex;
using sim::card::LinkMode;
using sim::card::LinkSignal;
using sim::card::MdioLevel;
using sim::card::MiiFrame;
using sim::card::PhyConfig;
using sim::card::PhyModel;
using sim::card::Speed;
using std::chrono::microseconds;
using namespace std::chrono_literals;

constexpr LinkMode k100Full{Speed::Mbit100, Duplex::Full};
constexpr LinkMode k100Half{Speed::Mbit100, Duplex::Half};
constexpr LinkMode k10Full{Speed::Mbit10, Duplex::Full};
constexpr LinkMode k10Half{Speed::Mbit10, Duplex::Half};
constexpr std::uint16_t kAllAbilities = 0x01E1;

constexpr std::uint8_t kBmcr = 0x00;
constexpr std::uint8_t kBmsr = 0x01;
constexpr std::uint8_t kPhyId1 = 0x02;
constexpr std::uint8_t kPhyId2 = 0x03;
constexpr std::uint8_t kAnar = 0x04;
constexpr std::uint8_t kAnlpar = 0x05;
constexpr std::uint8_t kAner = 0x06;

CardConfig WithPhy(const PhyModel& model, std::uint8_t address = 1,
                   MdioLevel floating = MdioLevel::High) {
  return CardConfig{
      .phy = PhyConfig{.model = model}, .phyAddress = address, .mdioFloating = floating};
}

// A frame as the tests state them: operation, register and data.
struct Op {
  MiiFrame::Op op;
  std::uint8_t reg;
  std::uint16_t data;
  friend bool operator==(const Op&, const Op&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Op& frame) {
    return out << (frame.op == MiiFrame::Op::Read ? "read " : "write ") << int{frame.reg} << " = 0x"
               << std::hex << frame.data << std::dec;
  }
};
Op R(std::uint8_t reg, std::uint16_t data) { return {MiiFrame::Op::Read, reg, data}; }
Op W(std::uint8_t reg, std::uint16_t data) { return {MiiFrame::Op::Write, reg, data}; }

std::vector<Op> Ops(const std::vector<MiiFrame>& frames) {
  std::vector<Op> ops;
  ops.reserve(frames.size());
  for (const MiiFrame& frame : frames) {
    ops.push_back({frame.op, frame.reg, frame.data});
  }
  return ops;
}

std::vector<Op> Writes(const std::vector<MiiFrame>& frames, std::uint8_t reg) {
  std::vector<Op> ops;
  for (const Op& op : Ops(frames)) {
    if (op.op == MiiFrame::Op::Write && op.reg == reg) {
      ops.push_back(op);
    }
  }
  return ops;
}

// ---------------------------------------------------------------------------
// The address scan.

struct ScanRow {
  std::string name;
  std::uint8_t address;
  MdioLevel floating;
};

class PhyScan : public ::testing::TestWithParam<ScanRow> {};

TEST_P(PhyScan, FindsThePhyBehindAddressesNobodyAnswers) {
  const ScanRow& row = GetParam();
  PhyBench bench(WithPhy(sim::card::phy5C21(), row.address, row.floating));

  EXPECT_EQ(PhySetup(&bench.adapter), TRUE);

  EXPECT_EQ(bench.adapter.PhyAddress, row.address);
  EXPECT_EQ(bench.adapter.PhyId, 0x20005C21u);
  // PHYID2 at each address up to the PHY, then its PHYID1 there.
  const std::uint16_t absent = row.floating == MdioLevel::High ? 0xFFFF : 0x0000;
  ASSERT_GE(bench.log.frames.size(), row.address + 2u);
  for (std::uint8_t a = 0; a < row.address; ++a) {
    EXPECT_EQ(bench.log.frames[a].phyAddress, a);
    EXPECT_EQ(Ops({bench.log.frames[a]})[0], R(kPhyId2, absent));
  }
  EXPECT_EQ(Ops({bench.log.frames[row.address]})[0], R(kPhyId2, 0x5C21));
  EXPECT_EQ(Ops({bench.log.frames[row.address + 1]})[0], R(kPhyId1, 0x2000));
  for (const MiiFrame& frame : bench.log.frames) {
    EXPECT_TRUE(frame.phyAddress <= row.address) << "a frame went past the PHY's address";
  }
}

INSTANTIATE_TEST_SUITE_P(Addresses, PhyScan,
                         ::testing::Values(ScanRow{"FiveFloatingHigh", 5, MdioLevel::High},
                                           ScanRow{"FiveFloatingLow", 5, MdioLevel::Low},
                                           ScanRow{"Zero", 0, MdioLevel::High},
                                           ScanRow{"ThirtyOne", 31, MdioLevel::Low}),
                         [](const auto& row) { return row.param.name; });

// A card on which no PHY answers comes up with the link down.
class NoPhy : public ::testing::TestWithParam<MdioLevel> {};

TEST_P(NoPhy, ScanEndsAtThirtyTwoAndTheLinkReadsDown) {
  PhyBench bench(CardConfig{.phy = std::nullopt, .mdioFloating = GetParam()});
  const std::uint16_t absent = GetParam() == MdioLevel::High ? 0xFFFF : 0x0000;

  EXPECT_EQ(PhySetup(&bench.adapter), TRUE);
  LinkResolve(&bench.adapter);
  LinkUpdate(&bench.adapter, TRUE);

  EXPECT_EQ(bench.adapter.PhyAddress, 32);
  EXPECT_EQ(bench.adapter.PhyId, (std::uint32_t{absent} << 16) | absent);
  EXPECT_EQ(bench.adapter.LinkUp, 0);
  EXPECT_EQ(bench.adapter.PartnerAbilityNonZero, 0);
  EXPECT_EQ(bench.adapter.Is100Mbps, 0);
  ASSERT_GT(bench.log.frames.size(), 32u);
  for (std::size_t i = 0; i < bench.log.frames.size(); ++i) {
    EXPECT_EQ(bench.log.frames[i].phyAddress, i < 32 ? i : 0) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Floating, NoPhy, ::testing::Values(MdioLevel::High, MdioLevel::Low),
                         [](const auto& row) {
                           return row.param == MdioLevel::High ? "High" : "Low";
                         });

// ---------------------------------------------------------------------------
// The extra setup of one part.

struct PartRow {
  std::string name;
  PhyModel model;
  bool getsSetup;
};

class PartSetup : public ::testing::TestWithParam<PartRow> {};

TEST_P(PartSetup, OnlyThe78E1GetsItsSetupWordBeforeItsRegistersAreRead) {
  const PartRow& row = GetParam();
  PhyBench bench(WithPhy(row.model, 3));
  bench.settle();

  ASSERT_EQ(PhySetup(&bench.adapter), TRUE);

  const std::vector<Op> ops = Ops(bench.log.answered());
  const std::vector<Op> setup = Writes(bench.log.frames, 0x14);
  if (row.getsSetup) {
    ASSERT_THAT(setup, ::testing::ElementsAre(W(0x14, 0x54D2)));
    // Identifier, the setup word, then BMCR and ANAR are read.
    ASSERT_GE(ops.size(), 5u);
    EXPECT_EQ(ops[2], W(0x14, 0x54D2));
    EXPECT_EQ(ops[3].reg, kBmcr);
    EXPECT_EQ(ops[4].reg, kAnar);
    EXPECT_EQ(bench.card.phy()->setupRegister(), 0x54D2);
  } else {
    EXPECT_TRUE(setup.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Parts, PartSetup,
                         ::testing::Values(PartRow{"P78E1", sim::card::phy78E1(), true},
                                           PartRow{"P8201", sim::card::phy8201(), false},
                                           PartRow{"P5C21", sim::card::phy5C21(), false},
                                           PartRow{"Generic", sim::card::genericPhy(0x01410CC2),
                                                   false},
                                           PartRow{"GenericWithTheSameLowHalf",
                                                   sim::card::genericPhy(0x000078E1), false}),
                         [](const auto& row) { return row.param.name; });

// A PHY still in its power-up reset reads BMCR with the reset bit set and
// need not take BMCR writes: setup waits until it is out, and the reset bit,
// a command, never gets into the setting the driver writes back.
TEST(PhyInReset, SetupWaitsUntilItIsOut) {
  CardConfig config = WithPhy(sim::card::phy78E1());
  config.timing.corner = sim::card::TimingCorner::Slowest;
  PhyBench bench(config, LinkSignal::forcedTo(k100Half));

  ASSERT_EQ(PhySetup(&bench.adapter), TRUE);
  LinkResolve(&bench.adapter);

  std::vector<Op> bmcrReads;
  for (const Op& op : Ops(bench.log.answered())) {
    if (op.op == MiiFrame::Op::Read && op.reg == kBmcr) {
      bmcrReads.push_back(op);
    }
  }
  ASSERT_GE(bmcrReads.size(), 2u);
  EXPECT_EQ(bmcrReads.front(), R(kBmcr, 0xB100));
  EXPECT_EQ(bmcrReads[bmcrReads.size() - 2], R(kBmcr, 0x3100)) << "setup's last, out of reset";
  EXPECT_FALSE(bench.card.phy()->inReset());
  EXPECT_EQ(bench.adapter.BmcrShadow & 0x8000, 0);
  for (const Op& write : Writes(bench.log.frames, kBmcr)) {
    EXPECT_EQ(write.data & 0x8000, 0) << write;
  }
}

// ---------------------------------------------------------------------------
// Media selection: the advertisement written, the forced BMCR kept, and a
// PHY that had negotiated before the driver loaded made to negotiate again
// when what it advertises changed.

struct MediaRow {
  std::string name;
  UCHAR connectionType;
  std::uint16_t anarAtReset;
  std::uint16_t bmcrAtReset;
  std::uint16_t anar;  // written
  std::uint16_t bmcrShadow;
  std::optional<std::uint16_t> restart;    // the BMCR written to negotiate again
  std::optional<LinkMode> linkAfterSetup;  // against a partner offering everything
  std::uint16_t anarReadOnly = 0;          // ability bits the part keeps as strapped
};

// BMSR with the link up and negotiation complete.
constexpr std::uint16_t kNegotiatedBmsr = 0x782D;

class MediaSelection : public ::testing::TestWithParam<MediaRow> {};

TEST_P(MediaSelection, AdvertisesTheSelectedAbilitiesAndNegotiatesAgainWhenTheyChanged) {
  const MediaRow& row = GetParam();
  PhyBench bench(CardConfig{.phy = PhyConfig{.bmcrAtReset = row.bmcrAtReset,
                                             .anarAtReset = row.anarAtReset,
                                             .anarReadOnly = row.anarReadOnly}});
  bench.adapter.ConnectionType = row.connectionType;
  bench.settle();  // the PHY has settled on a link before the driver comes
  const auto start = bench.elapsed();

  ASSERT_EQ(PhySetup(&bench.adapter), TRUE);

  // The advertisement is the last register read; it is written and read
  // back, and what the PHY then holds decides whether it negotiates again.
  const std::uint16_t held = static_cast<std::uint16_t>((row.anar & ~row.anarReadOnly) |
                                                        (row.anarAtReset & row.anarReadOnly));
  const std::vector<Op> ops = Ops(bench.log.frames);
  const auto write = std::find(ops.begin(), ops.end(), W(kAnar, row.anar));
  ASSERT_NE(write, ops.end());
  ASSERT_NE(write, ops.begin());
  ASSERT_NE(write + 1, ops.end());
  EXPECT_EQ(*(write - 1), R(kAnar, row.anarAtReset));
  EXPECT_EQ(*(write + 1), R(kAnar, held));
  const std::vector<Op> after(write + 2, ops.end());
  EXPECT_EQ(bench.card.phy()->anar(), held);
  EXPECT_EQ(bench.adapter.AnarShadow, held);
  EXPECT_EQ(bench.adapter.BmcrShadow, row.bmcrShadow);
  if (row.restart) {
    // The restart, then BMSR polled until it shows the new link negotiated,
    // which is as long as the PHY is waited for.
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after.front(), W(kBmcr, *row.restart));
    for (std::size_t i = 1; i < after.size(); ++i) {
      EXPECT_EQ(after[i].reg, kBmsr);
    }
    EXPECT_EQ(after.back(), R(kBmsr, kNegotiatedBmsr));
    EXPECT_LE(bench.elapsed() - start, microseconds(3000000 + 60000));
  } else {
    EXPECT_TRUE(after.empty());
    EXPECT_GE(bench.elapsed() - start, microseconds(500000));
  }
  EXPECT_EQ(bench.link().up, row.linkAfterSetup.has_value());
  if (row.linkAfterSetup) {
    EXPECT_EQ(bench.link().mode, *row.linkAfterSetup);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ConnectionTypes, MediaSelection,
    ::testing::Values(
        MediaRow{"Automatic", 0, 0x01E1, 0x3100, 0x01E1, 0x2100, {}, k100Full},
        MediaRow{"TenHalf", 1, 0x01E1, 0x3100, 0x0021, 0x0000, 0x3300, k10Half},
        MediaRow{"TenFull", 2, 0x01E1, 0x3100, 0x0061, 0x0100, 0x3300, k10Full},
        MediaRow{"HundredHalf", 3, 0x01E1, 0x3100, 0x0081, 0x2000, 0x3300, k100Half},
        MediaRow{"HundredFull", 4, 0x01E1, 0x3100, 0x0181, 0x2100, 0x3300, k100Full},
        MediaRow{"PhysOwn", 5, 0x01E1, 0x3100, 0x01E1, 0x3100, {}, k100Full},
        MediaRow{"SixIsThePhysOwn", 6, 0x0021, 0x1000, 0x01E1, 0x1000, 0x1200, k100Full},
        // Auto-negotiation off: the PHY runs its forced mode until LinkResolve
        // switches negotiation on.
        MediaRow{"TopIsThePhysOwn", 255, 0x0001, 0x0000, 0x01E1, 0x0000, {}, k10Half},
        // No ability in common with anyone before the driver adds them.
        MediaRow{"AutomaticAddsAllAbilities", 0, 0x0001, 0x1000, 0x01E1, 0x2100, 0x1200, k100Full},
        MediaRow{"TenHalfFromForcedReset", 1, 0x0001, 0x2100, 0x0021, 0x0000, {}, k100Full},
        // The part keeps its strapped abilities: it advertises what it did,
        // and nothing is negotiated again.
        MediaRow{
            "TenHalfOnStrappedAbilities", 1, 0x01E1, 0x3100, 0x0021, 0x0000, {}, k100Full, 0x01E0},
        // Strapped but for 100BASE-TX full duplex, which is withdrawn.
        MediaRow{"HundredHalfOnPartlyStrappedAbilities", 3, 0x01E1, 0x3100, 0x0081, 0x2000, 0x3300,
                 k100Half, 0x00E0}),
    [](const auto& row) { return row.param.name; });

// ---------------------------------------------------------------------------
// Bring-up outcomes: setup and resolve against each kind of partner, and the
// MAC's duplex that follows.

struct OutcomeRow {
  std::string name;
  UCHAR connectionType;
  LinkSignal partner;
  std::vector<Op> bmcrWrites;  // by LinkResolve
  UCHAR is100;
  UCHAR partnerNonZero;
  std::uint16_t bmcrShadow;
  bool linkAfter;  // the PHY's link once the forced mode has taken
  LinkMode modeAfter;
};

class BringUpOutcome : public ::testing::TestWithParam<OutcomeRow> {};

TEST_P(BringUpOutcome, ResolvesTheLinkThePartnerOffers) {
  const OutcomeRow& row = GetParam();
  PhyBench bench({}, row.partner);
  bench.adapter.ConnectionType = row.connectionType;
  bench.settle();

  ASSERT_EQ(PhySetup(&bench.adapter), TRUE);
  bench.forgetFrames();
  LinkResolve(&bench.adapter);

  EXPECT_EQ(bench.adapter.LinkUp, 1);
  EXPECT_EQ(bench.adapter.Is100Mbps, row.is100);
  EXPECT_EQ(bench.adapter.PartnerAbilityNonZero, row.partnerNonZero);
  EXPECT_EQ(bench.adapter.BmcrShadow, row.bmcrShadow);
  EXPECT_EQ(Writes(bench.log.frames, kBmcr), row.bmcrWrites);
  // Read BMCR, read BMSR, vendor status, ANLPAR, ANER, then the forced BMCR.
  const std::vector<Op> ops = Ops(bench.log.frames);
  ASSERT_EQ(ops.size(), 5 + row.bmcrWrites.size());
  EXPECT_EQ(ops[0].reg, kBmcr);
  EXPECT_EQ(ops[1].reg, kBmsr);
  EXPECT_EQ(ops[2].reg, 0x11);
  EXPECT_EQ(ops[3].reg, kAnlpar);
  EXPECT_EQ(ops[4].reg, kAner);

  // The MAC takes the duplex the link runs at, in MIIMR on page 3: the
  // caller's page comes back and BNRY, at MIIMR's offset on page 0, stays.
  bench.card.write8(port::CR, 0x22);
  bench.card.write8(port::BNRY, 0x5A);
  LinkUpdate(&bench.adapter, FALSE);
  EXPECT_EQ(bench.card.controller().page(), 0);
  EXPECT_EQ(bench.card.controller().bnry(), 0x5A);

  bench.settle();
  EXPECT_EQ(bench.link().up, row.linkAfter);
  if (row.linkAfter) {
    EXPECT_EQ(bench.link().mode, row.modeAfter);
    EXPECT_EQ((bench.card.controller().miimr() & 0x40) != 0, row.modeAfter.duplex == Duplex::Full);
  }
}

// A partner that negotiates: BMCR is not written, the partner's abilities
// read non-zero, and the link stays up.
OutcomeRow Negotiating(const char* name, UCHAR connectionType, std::uint16_t offer, UCHAR is100,
                       std::uint16_t bmcrShadow, LinkMode mode) {
  return {name, connectionType, LinkSignal::negotiating(offer), {}, is100, 1, bmcrShadow, true,
          mode};
}

// A partner forced to `partner`: the forced BMCR is written and kept, and the
// partner's abilities read 0. No mode: the forced link does not come up.
OutcomeRow Forced(const char* name, UCHAR connectionType, LinkMode partner, std::uint16_t bmcr,
                  UCHAR is100, std::optional<LinkMode> mode) {
  return {name, connectionType,   LinkSignal::forcedTo(partner), {W(kBmcr, bmcr)}, is100, 0,
          bmcr, mode.has_value(), mode.value_or(LinkMode{})};
}

INSTANTIATE_TEST_SUITE_P(
    Partners, BringUpOutcome,
    ::testing::Values(Negotiating("AutomaticNegotiated", 0, kAllAbilities, 1, 0x3100, k100Full),
                      Forced("AutomaticForced100", 0, k100Full, 0x2000, 1, k100Half),
                      Forced("AutomaticForced10", 0, k10Half, 0x0000, 0, k10Half),
                      Forced("HundredHalfForced100", 3, k100Half, 0x2000, 1, k100Half),
                      Forced("TenFullForced10", 2, k10Full, 0x0100, 0, k10Full),
                      Negotiating("OnlyHalfDuplexOffered", 0, 0x00A1, 1, 0x3100, k100Half),
                      Negotiating("HundredHalfRanksAboveTenFull", 0, 0x00C1, 1, 0x3100, k100Half),
                      Negotiating("TenFullOffered", 0, 0x0061, 0, 0x3100, k10Full),
                      Negotiating("TenFullNegotiated", 2, kAllAbilities, 0, 0x1100, k10Full),
                      Negotiating("HundredHalfNegotiated", 3, kAllAbilities, 1, 0x3000, k100Half),
                      Negotiating("TenHalfNegotiated", 1, kAllAbilities, 0, 0x1000, k10Half),
                      Negotiating("HundredFullNegotiated", 4, kAllAbilities, 1, 0x3100, k100Full),
                      // Forced to a speed the partner does not run: the link goes.
                      Forced("HundredFullAgainstForced10", 4, k10Half, 0x2100, 0, std::nullopt)),
    [](const auto& row) { return row.param.name; });

// With the link down, only BMCR and BMSR are read and the speed and partner
// fields keep what they had.
TEST(LinkResolveDown, ReadsOnlyControlAndStatusAndKeepsTheFields) {
  PhyBench bench({}, LinkSignal::none());
  ASSERT_EQ(PhySetup(&bench.adapter), TRUE);
  bench.adapter.Is100Mbps = 1;
  bench.adapter.PartnerAbility = 0x41E1;
  bench.adapter.PartnerAbilityNonZero = 1;
  bench.adapter.PhyVendorStatus = 0x6400;
  const USHORT shadow = bench.adapter.BmcrShadow;
  bench.forgetFrames();

  LinkResolve(&bench.adapter);

  EXPECT_THAT(Ops(bench.log.frames), ::testing::ElementsAre(R(kBmcr, 0x3100), R(kBmsr, 0x7809)));
  EXPECT_EQ(bench.adapter.LinkUp, 0);
  EXPECT_EQ(bench.adapter.Is100Mbps, 1);
  EXPECT_EQ(bench.adapter.PartnerAbility, 0x41E1);
  EXPECT_EQ(bench.adapter.PartnerAbilityNonZero, 1);
  EXPECT_EQ(bench.adapter.PhyVendorStatus, 0x6400);
  EXPECT_EQ(bench.adapter.BmcrShadow, shadow);
}

// A forced link is resolved again at the next link event: auto-negotiation
// goes back on and is waited for, and with the partner still not negotiating
// the media are forced once more. The drop and the return that this raised
// are of the driver's own doing: the link has stayed up since it was
// resolved, so they resolve nothing more, and nothing new comes.
TEST(ForcedLinkEvent, ReEnablesNegotiationThenForcesAgainAndSettles) {
  PhyBench bench({}, LinkSignal::forcedTo(k100Half));
  bench.adapter.ConnectionType = 3;
  bench.settle();
  ASSERT_EQ(PhySetup(&bench.adapter), TRUE);
  LinkResolve(&bench.adapter);
  ASSERT_EQ(bench.adapter.BmcrShadow, 0x2000);
  const auto acknowledge = [&bench] {
    static_cast<void>(bench.card.read8(port::VENDOR));
    bench.card.write8(port::VENDOR, 0x02);
  };

  // The partner is unplugged and plugged again.
  bench.segment->setConnected(false);
  bench.segment->setConnected(true);
  bench.settle();
  ASSERT_TRUE(bench.card.vendor().phyEventPending());
  acknowledge();
  bench.forgetFrames();
  const auto before = bench.elapsed();

  LinkUpdate(&bench.adapter, TRUE);

  EXPECT_THAT(Writes(bench.log.frames, kBmcr),
              ::testing::ElementsAre(W(kBmcr, 0x3100), W(kBmcr, 0x2000)));
  // Parallel detection found the partner again after the PHY's break-link
  // time and the autoneg_wait_timer.
  EXPECT_GE(bench.elapsed() - before, microseconds(1200000 + 500000));
  EXPECT_EQ(bench.adapter.LinkUp, 1);
  EXPECT_EQ(bench.adapter.Is100Mbps, 1);
  EXPECT_EQ(bench.adapter.BmcrShadow, 0x2000);
  EXPECT_TRUE(bench.card.vendor().phyEventPending()) << "the drop and return it caused";
  acknowledge();

  bench.forgetFrames();
  LinkUpdate(&bench.adapter, TRUE);

  EXPECT_TRUE(Writes(bench.log.frames, kBmcr).empty());
  bench.settle();
  EXPECT_TRUE(bench.link().up);
  EXPECT_EQ(bench.link().mode, k100Half);
  EXPECT_FALSE(bench.card.vendor().phyEventPending());
}

// ---------------------------------------------------------------------------
// The speed, by each part's own rule.

struct SpeedRow {
  std::string name;
  PhyModel model;
  LinkMode partnerForced;
  UCHAR is100;
};

class SpeedRule : public ::testing::TestWithParam<SpeedRow> {};

TEST_P(SpeedRule, Is100MbpsFollowsThePartsStatusRegister) {
  const SpeedRow& row = GetParam();
  PhyBench bench(WithPhy(row.model), LinkSignal::forcedTo(row.partnerForced));
  bench.settle();

  ASSERT_EQ(PhySetup(&bench.adapter), TRUE);
  LinkResolve(&bench.adapter);

  ASSERT_EQ(bench.adapter.LinkUp, 1);
  EXPECT_EQ(bench.adapter.Is100Mbps, row.is100);
}

std::vector<SpeedRow> SpeedRows() {
  std::vector<SpeedRow> rows = {
      {"P8201At100", sim::card::phy8201(), k100Full, 1},
      {"P8201At10", sim::card::phy8201(), k10Half, 0},
      {"P78E1At100", sim::card::phy78E1(), k100Half, 1},
      {"P78E1At10", sim::card::phy78E1(), k10Full, 0},
      {"P5C21At100", sim::card::phy5C21(), k100Half, 1},
      {"P5C21At10", sim::card::phy5C21(), k10Half, 0},
      {"GenericAt100", sim::card::genericPhy(0x01410CC2), k100Full, 0},
  };
  // The 8201 reports 100 Mbit/s only by 0x03F9 exactly.
  for (int bit = 0; bit < 16; ++bit) {
    PhyModel model = sim::card::phy8201();
    model.status = [bit](const sim::card::LinkResult& /*link*/) {
      return static_cast<std::uint16_t>(0x03F9 ^ (1u << bit));
    };
    rows.push_back({"P8201Bit" + std::to_string(bit) + "Differs", model, k100Full, 0});
  }
  // A generic part, whatever its registers say, is never taken as 100.
  PhyModel loud = sim::card::genericPhy(0x00008202);
  loud.statusRegister = 0x19;
  loud.status = [](const sim::card::LinkResult& /*link*/) { return std::uint16_t{0x03F9}; };
  rows.push_back({"GenericLookingLikeThe8201", loud, k100Full, 0});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Parts, SpeedRule, ::testing::ValuesIn(SpeedRows()),
                         [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace kl::test
