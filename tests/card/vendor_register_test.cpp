// Offset 0x0B of page 0: the vendor register behind a read, RBCR1 for a lone
// write; the PHY event latch; and the card's interrupt line.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "sim/card/card.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

// ---------------------------------------------------------------------------
// Routing of writes to offset 0x0B.

using Step = std::function<void(Card&)>;

Step readPort(std::uint16_t offset) {
  return [offset](Card& card) { static_cast<void>(card.read8(offset)); };
}
Step writePort(std::uint16_t offset, std::uint8_t value) {
  return [offset, value](Card& card) { card.write8(offset, value); };
}
Step readWord(std::uint16_t offset) {
  return [offset](Card& card) { static_cast<void>(card.read16(offset)); };
}

struct RoutingCase {
  std::string name;
  std::vector<Step> steps;  // after page 0 is selected and RBCR0/1 = 0x0000
  std::uint8_t vendor;      // the vendor register afterwards
  std::uint16_t count;      // the remote byte count afterwards
};

class VendorRouting : public testing::TestWithParam<RoutingCase> {};

TEST_P(VendorRouting, WriteGoesToVendorOnlyRightAfterItsRead) {
  const RoutingCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::RBCR0, 0x00);
  card.write8(port::RBCR1, 0x00);
  for (const Step& step : c.steps) {
    step(card);
  }
  EXPECT_EQ(card.vendor().read(), c.vendor);
  EXPECT_EQ(card.controller().remoteDma().remainingCount(), c.count);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, VendorRouting,
    testing::Values(
        RoutingCase{"ReadThenWrite", {readPort(0x0B), writePort(0x0B, 0x01)}, 0x01, 0x0000},
        RoutingCase{"LoneWriteIsRbcr1", {writePort(0x0B, 0x05)}, 0x00, 0x0500},
        RoutingCase{"ArmingIsUsedOnce",
                    {readPort(0x0B), writePort(0x0B, 0x01), writePort(0x0B, 0x06)},
                    0x01,
                    0x0600},
        RoutingCase{"RegisterReadInBetween",
                    {readPort(0x0B), readPort(port::ISR), writePort(0x0B, 0x01)},
                    0x00,
                    0x0100},
        RoutingCase{"RegisterWriteInBetween",
                    {readPort(0x0B), writePort(port::RBCR0, 0x22), writePort(0x0B, 0x01)},
                    0x00,
                    0x0122},
        RoutingCase{"DataPortReadInBetween",
                    {readPort(0x0B), readPort(port::DATA), writePort(0x0B, 0x01)},
                    0x00,
                    0x0100},
        RoutingCase{"ResetPortInBetween",
                    {readPort(0x0B), readPort(port::RESET), writePort(port::CR, 0x22),
                     writePort(0x0B, 0x01)},
                    0x00,
                    0x0100},
        RoutingCase{
            "WordReadEndingAt0BArms", {readWord(0x0A), writePort(0x0B, 0x01)}, 0x01, 0x0000},
        RoutingCase{"MAR3ReadOnPage1DoesNotArm",
                    {writePort(port::CR, 0x62), readPort(0x0B), writePort(0x0B, 0x01),
                     writePort(port::CR, 0x22)},
                    0x00,
                    0x0000},
        RoutingCase{"MaskingAndUnmaskingLikeTheInterruptHandlers",
                    {writePort(port::IMR, 0x00), readPort(0x0B), writePort(0x0B, 0x00),
                     writePort(port::IMR, 0x1B), readPort(0x0B), writePort(0x0B, 0x01)},
                    0x01,
                    0x0000}),
    CaseName{});

// The interrupt routine may run between a remote-DMA set-up's RBCR0 and
// RBCR1 writes, and it reads and writes the vendor register at 0x0B. The
// set-up's RBCR1 write that follows must still reach RBCR1.
TEST(VendorRouting, InterruptRoutineInsideARemoteDmaSetUp) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  startController(card, kDcrWordWide);
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x01);

  card.write8(port::RSAR0, 0x00);
  card.write8(port::RSAR1, 0x40);
  card.write8(port::RBCR0, 0xEA);
  // MiniportISR: mask, record the vendor register, clear its bit 0.
  card.write8(port::IMR, 0x00);
  const std::uint8_t vendor = card.read8(port::VENDOR);
  card.write8(port::VENDOR, static_cast<std::uint8_t>(vendor & 0xFE));
  static_cast<void>(card.read8(port::ISR));
  // Back in the set-up.
  card.write8(port::RBCR1, 0x05);
  card.write8(port::CR, cr::kRemoteWrite);

  EXPECT_EQ(card.controller().remoteDma().remainingCount(), 0x05EA);
  EXPECT_EQ(card.vendor().read() & 0x01, 0x00);
}

// ---------------------------------------------------------------------------
// The PHY event latch.

struct LatchCase {
  std::string name;
  std::uint8_t written;
  std::uint8_t after;  // vendor register read afterwards
};

class PhyEventLatch : public testing::TestWithParam<LatchCase> {};

TEST_P(PhyEventLatch, OnlyBit1WithBit0ClearAcknowledges) {
  const LatchCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.raisePhyEvent();
  EXPECT_EQ(card.read8(port::VENDOR) & 0x02, 0x02);
  card.write8(port::VENDOR, c.written);
  EXPECT_EQ(card.read8(port::VENDOR), c.after);
}

INSTANTIATE_TEST_SUITE_P(Writes, PhyEventLatch,
                         testing::Values(LatchCase{"Acknowledge", 0x02, 0x00},
                                         LatchCase{"EnableAndKeep", 0x03, 0x03},
                                         LatchCase{"EnableOnly", 0x01, 0x03},
                                         LatchCase{"DisableOnly", 0x00, 0x02},
                                         LatchCase{"OtherBitsIgnored", 0xFC, 0x02}),
                         CaseName{});

TEST(PhyEventLatch, BringUpSequenceAcknowledgesThenEnables) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.raisePhyEvent();
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x02);
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x01);
  EXPECT_EQ(card.read8(port::VENDOR), 0x01);
}

TEST(PhyEventLatch, EventWhileMaskedSurvivesTheUnmasking) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x00);
  card.raisePhyEvent();
  const std::uint8_t vendor = card.read8(port::VENDOR);
  card.write8(port::VENDOR, static_cast<std::uint8_t>(vendor | 0x01));
  EXPECT_EQ(card.read8(port::VENDOR), 0x03);
  EXPECT_TRUE(card.interruptAsserted());
}

// ---------------------------------------------------------------------------
// The interrupt line: enable AND (ISR AND IMR, or a PHY event).

struct LineCase {
  std::string name;
  bool enabled;
  std::uint8_t imr;
  std::uint8_t status;
  bool phyEvent;
  bool asserted;
};

class InterruptLine : public testing::TestWithParam<LineCase> {};

TEST_P(InterruptLine, FollowsTheTruthTable) {
  const LineCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  const LineListener host(card);
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::IMR, c.imr);
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, c.enabled ? 0x01 : 0x00);
  card.controller().setIsrBits(c.status);
  if (c.phyEvent) {
    card.raisePhyEvent();
  }
  EXPECT_EQ(card.interruptAsserted(), c.asserted);
  EXPECT_EQ(host.heard(), c.asserted) << "the line's change went unannounced";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InterruptLine,
    testing::Values(LineCase{"Quiet", true, 0x1B, 0x00, false, false},
                    LineCase{"EnabledStatus", true, 0x1B, isr::kPrx, false, true},
                    LineCase{"EnabledPhyEvent", true, 0x1B, 0x00, true, true},
                    LineCase{"EnabledBoth", true, 0x1B, isr::kPtx, true, true},
                    LineCase{"DisabledStatus", false, 0x1B, isr::kPrx, false, false},
                    LineCase{"DisabledPhyEvent", false, 0x1B, 0x00, true, false},
                    LineCase{"DisabledBoth", false, 0x1B, isr::kPrx, true, false},
                    LineCase{"StatusMaskedByImr", true, 0x00, isr::kPrx, false, false},
                    LineCase{"RdcIsNotInTheDriversMask", true, 0x1B, isr::kRdc, false, false},
                    LineCase{"PhyEventIgnoresImr", true, 0x00, 0x00, true, true}),
    CaseName{});

TEST(InterruptLine, AcknowledgingTheStatusDropsTheLine) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::IMR, 0x1B);
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x01);
  const LineListener host(card);
  card.controller().setIsrBits(isr::kOvw);
  EXPECT_TRUE(card.interruptAsserted());
  EXPECT_TRUE(host.heard());
  card.write8(port::ISR, isr::kOvw);
  EXPECT_FALSE(card.interruptAsserted());
  EXPECT_FALSE(host.heard());
}

TEST(InterruptLine, TheStoppedStateNeverInterrupts) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStopAbort);
  card.write8(port::IMR, 0xFF);
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x01);
  EXPECT_EQ(card.read8(port::ISR), isr::kRst);
  EXPECT_FALSE(card.interruptAsserted());
}

TEST(InterruptLine, CounterAtHalfRangeInterruptsWhenEnabledInImr) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::IMR, isr::kCnt);
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x01);
  const LineListener host(card);
  card.controller().addTallyCounts(Tally::MissedFrame, 0x80);
  EXPECT_TRUE(card.interruptAsserted());
  EXPECT_TRUE(host.heard());
  static_cast<void>(card.read8(port::CNTR2));
  card.write8(port::ISR, isr::kCnt);
  EXPECT_FALSE(card.interruptAsserted());
}

}  // namespace
}  // namespace kl::sim::card::test
