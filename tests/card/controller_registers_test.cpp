// The controller's register set through the ports: page select, the run
// state and RST, ISR acknowledgement, the tally counters and CNT, the page-1
// and page-3 registers, and the names a trace shows.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "sim/card/card.h"
#include "sim/card/mii_port.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

// ---------------------------------------------------------------------------
// Run state: STP stops, STA starts, and ISR shows RST once stopped with no
// remote-DMA bytes left to move.

struct RunStateCase {
  std::string name;
  std::vector<std::uint8_t> commands;  // CR writes, in order
  bool rst;
  // A remote read of this many bytes started before the commands, and none
  // of them read: a transfer cut short.
  std::uint16_t countLeft = 0;
  bool countClearedAfter = false;  // RBCR1 and RBCR0 written zero after the commands
};

class RunState : public testing::TestWithParam<RunStateCase> {};

TEST_P(RunState, IsrShowsRstExactlyInTheResetStateAndCrReadsBackTheLastCommand) {
  const RunStateCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  if (c.countLeft != 0) {
    setUpRemoteDma(card, 0x4000, c.countLeft, cr::kRemoteRead);
  }
  for (const std::uint8_t command : c.commands) {
    card.write8(port::CR, command);
  }
  if (c.countClearedAfter) {
    card.write8(port::RBCR1, 0);
    card.write8(port::RBCR0, 0);
  }
  EXPECT_EQ(card.read8(port::CR), c.commands.back());
  // The ISR read needs page 0; select it without changing the run state.
  card.write8(port::CR, static_cast<std::uint8_t>(c.commands.back() & 0x3F));
  elapse(clock, kControllerSettles);
  EXPECT_EQ((card.read8(port::ISR) & isr::kRst) != 0, c.rst);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RunState,
    testing::Values(RunStateCase{"Stop", {0x21}, true},
                    RunStateCase{"StopThenStart", {0x21, 0x22}, false},
                    RunStateCase{"StopWinsOverStart", {0x22, 0x23}, true},
                    RunStateCase{"RemoteReadStartsTheController", {0x21, 0x0A}, false},
                    RunStateCase{"StopOnPage1", {0x22, 0x61}, true},
                    RunStateCase{"PageChangeAloneKeepsTheStoppedState", {0x21, 0x40}, true},
                    RunStateCase{"PageChangeAloneKeepsTheRunningState", {0x22, 0x40}, false},
                    RunStateCase{"MiiPageWithStart", {0x21, 0xC2}, false},
                    RunStateCase{"TransmitCommandReadsBackWhileSending", {0x22, 0x26}, false},
                    RunStateCase{"StopWithACountLeftWaitsForRbcrCleared", {0x21}, false, 6},
                    RunStateCase{"StopThenRbcrClearedIsReset", {0x21}, true, 6, true}),
    CaseName{});

TEST(RunState, PowerUpIsTheResetState) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte));
  EXPECT_EQ(card.read8(port::CR), 0x21);
  EXPECT_EQ(card.read8(port::ISR), isr::kRst);
}

TEST(RunState, AcknowledgingRstDoesNotClearItWhileStopped) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte));
  card.write8(port::CR, cr::kStopAbort);
  card.write8(port::ISR, 0xFF);
  EXPECT_EQ(card.read8(port::ISR) & isr::kRst, isr::kRst);
}

// ---------------------------------------------------------------------------
// ISR: a 1 acknowledges that bit and leaves the others.

struct AckCase {
  std::string name;
  std::uint8_t raised;
  std::uint8_t written;
  std::uint8_t remaining;
};

class IsrAcknowledge : public testing::TestWithParam<AckCase> {};

TEST_P(IsrAcknowledge, WriteOneClearsThatBitOnly) {
  const AckCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.controller().setIsrBits(c.raised);
  card.write8(port::ISR, c.written);
  EXPECT_EQ(card.read8(port::ISR), c.remaining);
}

INSTANTIATE_TEST_SUITE_P(Bits, IsrAcknowledge,
                         testing::Values(AckCase{"All", 0x5F, 0xFF, 0x00},
                                         AckCase{"None", 0x5F, 0x00, 0x5F},
                                         AckCase{"ReceiveOnly", 0x13, 0x01, 0x12},
                                         AckCase{"WhatWasRead", 0x03, 0x03, 0x00},
                                         AckCase{"BitsNotSetStayClear", 0x02, 0x41, 0x02}),
                         CaseName{});

// ---------------------------------------------------------------------------
// Page 0 and page 1 registers hold what was written; the pages do not
// disturb each other.

TEST(Pages, Page1RegistersReadBackAndLeavePage0Alone) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  setRing(card, 0x4C, 0x80);
  card.write8(port::BNRY, 0x4C);

  card.write8(port::CR, cr::kPage1Start);
  for (std::uint16_t i = 0; i < 6; ++i) {
    card.write8(static_cast<std::uint16_t>(port::PAR0 + i), static_cast<std::uint8_t>(0xA0 + i));
  }
  card.write8(port::CURR, 0x4D);
  for (std::uint16_t i = 0; i < 8; ++i) {
    card.write8(static_cast<std::uint16_t>(port::MAR0 + i), static_cast<std::uint8_t>(1U << i));
  }
  for (std::uint16_t i = 0; i < 6; ++i) {
    EXPECT_EQ(card.read8(static_cast<std::uint16_t>(port::PAR0 + i)), 0xA0 + i);
  }
  EXPECT_EQ(card.read8(port::CURR), 0x4D);
  for (std::uint16_t i = 0; i < 8; ++i) {
    EXPECT_EQ(card.read8(static_cast<std::uint16_t>(port::MAR0 + i)), 1U << i);
  }
  card.write8(port::CR, cr::kStartAbort);

  const Controller& controller = card.controller();
  EXPECT_EQ(controller.stationAddress(),
            (std::array<std::uint8_t, 6>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
  EXPECT_EQ(controller.multicastFilter(),
            (std::array<std::uint8_t, 8>{0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80}));
  EXPECT_EQ(controller.curr(), 0x4D);
  EXPECT_EQ(controller.pstart(), 0x4C);
  EXPECT_EQ(controller.pstop(), 0x80);
  EXPECT_EQ(card.read8(port::BNRY), 0x4C) << "page 1 offset 3 is PAR2, not BNRY";
}

TEST(Pages, Page0WritesReachTheirRegisters) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::TPSR, 0x40);
  card.write8(0x05, 0xEA);  // TBCR0
  card.write8(0x06, 0x05);  // TBCR1
  card.write8(port::RCR, 0x0C);
  card.write8(port::TCR, 0x02);
  card.write8(port::DCR, kDcrWordWide);
  card.write8(port::IMR, 0x1B);
  const Controller& controller = card.controller();
  EXPECT_EQ(controller.tpsr(), 0x40);
  EXPECT_EQ(controller.transmitByteCount(), 0x05EA);
  EXPECT_EQ(controller.rcr(), 0x0C);
  EXPECT_EQ(controller.tcr(), 0x02);
  EXPECT_EQ(controller.dcr(), kDcrWordWide);
  EXPECT_EQ(controller.imr(), 0x1B);
}

// What the card's engines set shows where the host reads it.
TEST(Pages, EngineSideStateReachesItsPorts) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.controller().setTsr(0x01);
  EXPECT_EQ(card.read8(port::TSR), 0x01);
  card.controller().setCurr(0x5E);
  card.write8(port::CR, cr::kPage1Start);
  EXPECT_EQ(card.read8(port::CURR), 0x5E);
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::BNRY, 0x5D);
  EXPECT_EQ(card.controller().bnry(), 0x5D);
  EXPECT_FALSE(card.controller().stopped());
  card.write8(port::CR, cr::kStopAbort);
  EXPECT_TRUE(card.controller().stopped());
}

TEST(Pages, ReadsOfWriteOnlyPage0RegistersReturnZeroAndChangeNothing) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  setRing(card, 0x4C, 0x80);
  setUpRemoteDma(card, 0x4000, 0x0123, cr::kRemoteRead);
  card.write8(port::RCR, 0x04);
  for (const std::uint16_t offset : {0x01, 0x02, 0x05, 0x06, 0x0A, 0x0C}) {
    EXPECT_EQ(card.read8(offset), 0x00) << "offset " << offset;
  }
  EXPECT_EQ(card.controller().pstart(), 0x4C);
  EXPECT_EQ(card.controller().pstop(), 0x80);
  EXPECT_EQ(card.controller().remoteDma().remainingCount(), 0x0123);
  EXPECT_EQ(card.controller().rcr(), 0x04);
}

TEST(Pages, Page2AndUnusedPage3OffsetsFloatAndDropWrites) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  setRing(card, 0x4C, 0x80);
  card.write8(port::BNRY, 0x4C);
  for (const std::uint8_t page : {std::uint8_t{0x80}, std::uint8_t{0xC0}}) {
    card.write8(port::CR, static_cast<std::uint8_t>(page | 0x22));
    for (std::uint16_t offset = 1; offset < 16; ++offset) {
      if (page == 0xC0 && offset == port::MIIMR) {
        continue;
      }
      EXPECT_EQ(card.read8(offset), 0xFF) << "page " << (page >> 6) << " offset " << offset;
      card.write8(offset, 0x00);
    }
  }
  card.write8(port::CR, cr::kStartAbort);
  EXPECT_EQ(card.read8(port::BNRY), 0x4C);
  EXPECT_EQ(card.controller().pstart(), 0x4C);
  EXPECT_EQ(card.controller().pstop(), 0x80);
}

// ---------------------------------------------------------------------------
// MIIMR on page 3, and what hangs on the MII lines.

class FakeMiiPort final : public MiiPort {
 public:
  void drive(std::uint8_t miimr) override { driven.push_back(miimr); }
  [[nodiscard]] bool mdio() const override { return mdioLevel; }

  std::vector<std::uint8_t> driven;
  bool mdioLevel = false;
};

TEST(Miimr, WithNothingAttachedReadsBackWhatWasWrittenWithMdioHigh) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kPage3Start);
  card.write8(port::MIIMR, 0x05);
  EXPECT_EQ(card.read8(port::MIIMR), 0x0D);
  card.write8(port::MIIMR, 0x42);
  EXPECT_EQ(card.read8(port::MIIMR), 0x4A);
}

TEST(Miimr, AttachedPortSeesEveryWriteAndDrivesBit3) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  FakeMiiPort mii;
  card.controller().attachMiiPort(&mii);
  card.write8(port::CR, cr::kPage3Start);
  card.write8(port::MIIMR, 0x04);
  card.write8(port::MIIMR, 0x05);
  mii.mdioLevel = false;
  EXPECT_EQ(card.read8(port::MIIMR), 0x05);
  mii.mdioLevel = true;
  EXPECT_EQ(card.read8(port::MIIMR), 0x0D);
  EXPECT_EQ(mii.driven, (std::vector<std::uint8_t>{0x04, 0x05}));
}

// The link update passes the partner bit in bit 6 of the register at offset
// 3 with page 3 selected; the ring's boundary must not move.
TEST(Miimr, PartnerBitOnPage3LeavesBnryAlone) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::BNRY, 0x4C);
  card.write8(port::CR, cr::kPage3Start);
  const std::uint8_t found = card.read8(port::MIIMR);
  card.write8(port::MIIMR, static_cast<std::uint8_t>(found | 0x40));
  card.write8(port::CR, cr::kStartAbort);
  EXPECT_EQ(card.read8(port::BNRY), 0x4C);
  EXPECT_EQ(card.controller().miimr() & 0x40, 0x40);
}

// ---------------------------------------------------------------------------
// Tally counters: cleared by reading, CNT while one is at half range.

TEST(TallyCounters, ReadingACounterReturnsItsCountAndClearsIt) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.controller().addTallyCounts(Tally::FrameAlignment, 3);
  card.controller().addTallyCounts(Tally::Crc, 5);
  card.controller().addTallyCounts(Tally::MissedFrame, 7);
  EXPECT_EQ(card.read8(port::CNTR0), 3);
  EXPECT_EQ(card.read8(port::CNTR1), 5);
  EXPECT_EQ(card.read8(port::CNTR2), 7);
  EXPECT_EQ(card.read8(port::CNTR0), 0);
  EXPECT_EQ(card.read8(port::CNTR1), 0);
  EXPECT_EQ(card.read8(port::CNTR2), 0);
}

TEST(TallyCounters, ACounterNobodyReadsSticksAtItsTop) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.controller().addTallyCounts(Tally::MissedFrame, 200);
  card.controller().addTallyCounts(Tally::MissedFrame, 200);
  EXPECT_EQ(card.read8(port::CNTR2), 0xFF);
}

struct CntCase {
  std::string name;
  unsigned events;
  bool acknowledge;   // write CNT to ISR
  bool readCounters;  // read CNTR0-2
  bool cntAfterwards;
};

class CounterStatus : public testing::TestWithParam<CntCase> {};

TEST_P(CounterStatus, CntCannotBeLostByTheOrderOfAckAndRead) {
  const CntCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.controller().addTallyCounts(Tally::Crc, c.events);
  if (c.acknowledge) {
    card.write8(port::ISR, isr::kCnt);
  }
  if (c.readCounters) {
    static_cast<void>(card.read8(port::CNTR0));
    static_cast<void>(card.read8(port::CNTR1));
    static_cast<void>(card.read8(port::CNTR2));
  }
  EXPECT_EQ((card.read8(port::ISR) & isr::kCnt) != 0, c.cntAfterwards);
}

INSTANTIATE_TEST_SUITE_P(Orders, CounterStatus,
                         testing::Values(CntCase{"BelowHalfRange", 0x7F, false, false, false},
                                         CntCase{"AtHalfRange", 0x80, false, false, true},
                                         CntCase{"AcknowledgedButNotRead", 0x80, true, false, true},
                                         CntCase{"ReadButNotAcknowledged", 0x80, false, true, true},
                                         CntCase{"ReadThenAcknowledged", 0x80, true, true, false}),
                         CaseName{});

TEST(CounterStatus, ReadThenAcknowledgedInTheDriversOrder) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.controller().addTallyCounts(Tally::FrameAlignment, 0x90);
  const std::uint8_t status = card.read8(port::ISR);
  ASSERT_EQ(status & isr::kCnt, isr::kCnt);
  EXPECT_EQ(card.read8(port::CNTR0), 0x90);
  card.write8(port::ISR, status);
  EXPECT_EQ(card.read8(port::ISR) & isr::kCnt, 0);
}

// ---------------------------------------------------------------------------
// Register names as a trace decodes them, taken before the access.

struct NameCase {
  std::string name;
  std::uint8_t command;  // CR before the access
  std::uint16_t offset;
  Direction direction;
  std::string_view expected;
};

class RegisterNames : public testing::TestWithParam<NameCase> {};

TEST_P(RegisterNames, NameTheRegisterTheAccessReaches) {
  const NameCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, c.command);
  EXPECT_EQ(card.registerName(c.offset, c.direction), c.expected);
}

constexpr Direction kRead = Direction::Read;
constexpr Direction kWrite = Direction::Write;

INSTANTIATE_TEST_SUITE_P(
    ByPage, RegisterNames,
    testing::Values(
        NameCase{"CrPage0", 0x22, 0x00, kRead, "CR"}, NameCase{"CrPage3", 0xC2, 0x00, kWrite, "CR"},
        NameCase{"Pstart", 0x22, 0x01, kWrite, "PSTART"},
        NameCase{"Pstop", 0x22, 0x02, kWrite, "PSTOP"},
        NameCase{"BnryRead", 0x22, 0x03, kRead, "BNRY"}, NameCase{"Tsr", 0x22, 0x04, kRead, "TSR"},
        NameCase{"Tpsr", 0x22, 0x04, kWrite, "TPSR"},
        NameCase{"Tbcr1", 0x22, 0x06, kWrite, "TBCR1"},
        NameCase{"IsrRead", 0x22, 0x07, kRead, "ISR"},
        NameCase{"Crda0", 0x22, 0x08, kRead, "CRDA0"},
        NameCase{"Rsar0", 0x22, 0x08, kWrite, "RSAR0"},
        NameCase{"Crda1", 0x22, 0x09, kRead, "CRDA1"},
        NameCase{"Rbcr0", 0x22, 0x0A, kWrite, "RBCR0"},
        NameCase{"VendorRead", 0x22, 0x0B, kRead, "VENDOR"},
        NameCase{"LoneWriteIsRbcr1", 0x22, 0x0B, kWrite, "RBCR1"},
        NameCase{"Rcr", 0x22, 0x0C, kWrite, "RCR"}, NameCase{"Cntr0", 0x22, 0x0D, kRead, "CNTR0"},
        NameCase{"Tcr", 0x22, 0x0D, kWrite, "TCR"}, NameCase{"Cntr1", 0x22, 0x0E, kRead, "CNTR1"},
        NameCase{"Dcr", 0x22, 0x0E, kWrite, "DCR"}, NameCase{"Cntr2", 0x22, 0x0F, kRead, "CNTR2"},
        NameCase{"Imr", 0x22, 0x0F, kWrite, "IMR"}, NameCase{"Par0", 0x62, 0x01, kWrite, "PAR0"},
        NameCase{"Par5", 0x62, 0x06, kRead, "PAR5"}, NameCase{"Curr", 0x62, 0x07, kRead, "CURR"},
        NameCase{"Mar3OnPage1", 0x62, 0x0B, kRead, "MAR3"},
        NameCase{"Mar7", 0x62, 0x0F, kWrite, "MAR7"},
        NameCase{"Miimr", 0xC2, 0x03, kWrite, "MIIMR"},
        NameCase{"Page3Unused", 0xC2, 0x04, kRead, ""},
        NameCase{"DataPort", 0x22, 0x10, kRead, "DATA"},
        NameCase{"DataPortAlias", 0x62, 0x17, kWrite, "DATA"},
        NameCase{"ResetPort", 0x22, 0x1F, kRead, "RESET"},
        NameCase{"ResetPortAlias", 0x22, 0x18, kWrite, "RESET"}),
    CaseName{});

// ---------------------------------------------------------------------------
// An access that reaches no register is reported, naming what is there.

struct MissingCase {
  std::string name;
  std::uint8_t command;  // CR before the access
  std::uint16_t offset;
  Direction direction;
  std::uint8_t read;  // what a read returns
  std::string report;
};

class MissingRegister : public testing::TestWithParam<MissingCase> {};

TEST_P(MissingRegister, IsABrokenRuleThatNamesIt) {
  const MissingCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, c.command);
  std::vector<std::string> reports;
  card.onBrokenRule([&](const std::string& what) { reports.push_back(what); });
  if (c.direction == kRead) {
    EXPECT_EQ(card.read8(c.offset), c.read);
  } else {
    card.write8(c.offset, 0x5A);
  }
  EXPECT_EQ(reports, std::vector<std::string>{c.report});
  EXPECT_EQ(card.controller().page(), c.command >> 6);  // the write changed nothing
}

TEST(MissingRegister, TheBusHalfOfASplitWordCycleIsNotHeldToTheRules) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  std::vector<std::string> reports;
  card.onBrokenRule([&](const std::string& what) { reports.push_back(what); });
  EXPECT_EQ(card.read16(port::CR), cr::kStartAbort);  // PSTART, write-only, reads 0x00
  EXPECT_TRUE(reports.empty());
  static_cast<void>(card.read8(port::PSTART));
  EXPECT_EQ(reports.size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(
    ByPage, MissingRegister,
    testing::Values(MissingCase{"WriteOnlyPstart", 0x22, port::PSTART, kRead, 0x00,
                                "a read of PSTART (page 0, offset 0x01), which is write-only"},
                    MissingCase{"WriteOnlyRbcr0", 0x22, port::RBCR0, kRead, 0x00,
                                "a read of RBCR0 (page 0, offset 0x0A), which is write-only"},
                    MissingCase{"Page2", 0xA2, 0x05, kRead, 0xFF,
                                "a read at page 2, offset 0x05, where no register is"},
                    MissingCase{"Page3Write", 0xC2, 0x04, kWrite, 0x00,
                                "a write at page 3, offset 0x04, where no register is"}),
    CaseName{});

TEST(RegisterNames, ArmedWriteOfOffset0BIsTheVendorRegister) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  static_cast<void>(card.read8(port::VENDOR));
  EXPECT_EQ(card.registerName(port::VENDOR, Direction::Write), "VENDOR");
  card.write8(port::VENDOR, 0x01);
  EXPECT_EQ(card.registerName(port::VENDOR, Direction::Write), "RBCR1");
}

}  // namespace
}  // namespace kl::sim::card::test
