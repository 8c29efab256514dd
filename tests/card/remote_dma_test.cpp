// Remote DMA as the host sees it through the data port: bytes arrive intact
// in both bus widths and both transfer modes, the odd bytes of word-mode
// transfers land where they belong, the ring wraps, and RDC comes exactly
// when the byte count runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "sim/card/card.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  }
  return bytes;
}

// ---------------------------------------------------------------------------
// Cycle by cycle: how much each data-port cycle moves, when RDC comes, where
// CRDA points, and what cycles past the count see.

enum class Cycle { Byte, Word };

struct CycleCase {
  std::string name;
  BusWidth width;
  bool wordMode;
  Cycle cycle;
  std::uint16_t count;
  std::vector<std::uint16_t> values;       // what each cycle reads, in order
  std::vector<std::uint16_t> crdaOffsets;  // CRDA after each cycle, from the start
  std::size_t rdcAfter;                    // the cycle that completes the transfer
};

class RemoteDmaCycles : public testing::TestWithParam<CycleCase> {};

TEST_P(RemoteDmaCycles, ReadCyclesMoveTheirShareAndRdcComesWithTheLastByte) {
  const CycleCase& c = GetParam();
  constexpr std::uint16_t kStart = 0x4100;
  Clock clock;
  Card card(clock, configFor(c.width));
  startController(card, c.wordMode ? kDcrWordWide : kDcrByteWide);
  const std::array<std::uint8_t, 8> memory = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
  card.memory().write(kStart, memory);
  card.write8(port::ISR, 0xFF);
  setUpRemoteDma(card, kStart, c.count, cr::kRemoteRead);

  ASSERT_EQ(c.values.size(), c.crdaOffsets.size());
  for (std::size_t i = 0; i < c.values.size(); ++i) {
    SCOPED_TRACE("cycle " + std::to_string(i + 1));
    const std::uint16_t value =
        c.cycle == Cycle::Byte ? card.read8(port::DATA) : card.read16(port::DATA);
    EXPECT_EQ(value, c.values[i]);
    EXPECT_EQ((card.read8(port::ISR) & isr::kRdc) != 0, i + 1 >= c.rdcAfter);
    EXPECT_EQ(readCrda(card), kStart + c.crdaOffsets[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(AllPairings, RemoteDmaCycles,
                         testing::Values(CycleCase{"ByteModeByteCycles",
                                                   BusWidth::Byte,
                                                   false,
                                                   Cycle::Byte,
                                                   3,
                                                   {0x10, 0x11, 0x12, 0xFF, 0xFF},
                                                   {1, 2, 3, 3, 3},
                                                   3},
                                         CycleCase{"WordModeWordCyclesEvenCount",
                                                   BusWidth::Word,
                                                   true,
                                                   Cycle::Word,
                                                   4,
                                                   {0x1110, 0x1312, 0xFFFF},
                                                   {2, 4, 4},
                                                   2},
                                         CycleCase{"WordModeWordCyclesOddCount",
                                                   BusWidth::Word,
                                                   true,
                                                   Cycle::Word,
                                                   3,
                                                   {0x1110, 0xFF12, 0xFFFF},
                                                   {2, 3, 3},
                                                   2},
                                         CycleCase{"WordModeByteCyclesTakeTheLowByteOfEachWord",
                                                   BusWidth::Word,
                                                   true,
                                                   Cycle::Byte,
                                                   6,
                                                   {0x10, 0x12, 0x14, 0xFF},
                                                   {2, 4, 6, 6},
                                                   3},
                                         CycleCase{"ByteCardInWordModeMovesAWordPerByteCycle",
                                                   BusWidth::Byte,
                                                   true,
                                                   Cycle::Byte,
                                                   4,
                                                   {0x10, 0x12, 0xFF},
                                                   {2, 4, 4},
                                                   2},
                                         CycleCase{"ByteCardSplitsWordCyclesIntoTwoByteCycles",
                                                   BusWidth::Byte,
                                                   false,
                                                   Cycle::Word,
                                                   4,
                                                   {0x1110, 0x1312, 0xFFFF},
                                                   {2, 4, 4},
                                                   2}),
                         CaseName{});

// Byte mode on a word-wide card: each 16-bit cycle moves one byte.
TEST(RemoteDmaOddCycles, WordCycleInByteModeOnAWordCardMovesOneByte) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  startController(card, kDcrByteWide);
  const std::array<std::uint8_t, 3> memory = {0x21, 0x22, 0x23};
  card.memory().write(0x4000, memory);
  setUpRemoteDma(card, 0x4000, 3, cr::kRemoteRead);

  EXPECT_EQ(card.read16(port::DATA), 0xFF21);
  EXPECT_EQ(card.read16(port::DATA), 0xFF22);
  EXPECT_EQ(readCrda(card), 0x4002);

  setUpRemoteDma(card, 0x4000, 2, cr::kRemoteWrite);
  card.write16(port::DATA, 0xEE31);
  card.write16(port::DATA, 0xEE32);
  EXPECT_EQ(card.memory().read(0x4000), 0x31);
  EXPECT_EQ(card.memory().read(0x4001), 0x32);
  EXPECT_EQ(card.memory().read(0x4002), 0x23) << "the high halves carry nothing";
}

// The odd last byte of a word-mode write travels in the low half of a word;
// with one byte of count left, the high half must not reach the card.
TEST(RemoteDmaOddCycles, WordWriteWithOneByteLeftStoresOnlyItsLowByte) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  startController(card, kDcrWordWide);
  const std::array<std::uint8_t, 4> guard = {0xC0, 0xC1, 0xC2, 0xC3};
  card.memory().write(0x4000, guard);
  card.write8(port::ISR, 0xFF);
  setUpRemoteDma(card, 0x4000, 3, cr::kRemoteWrite);

  card.write16(port::DATA, 0x5150);
  EXPECT_EQ(card.read8(port::ISR) & isr::kRdc, 0);
  card.write16(port::DATA, 0x0052);

  EXPECT_EQ(card.read8(port::ISR) & isr::kRdc, 0) << "the last word is still going to memory";
  elapse(clock, rangeOf(Timing::RemoteDmaComplete).typical);
  EXPECT_EQ(card.read8(port::ISR) & isr::kRdc, isr::kRdc);
  EXPECT_EQ(readCrda(card), 0x4003);
  const std::array<std::uint8_t, 4> expected = {0x50, 0x51, 0x52, 0xC3};
  std::array<std::uint8_t, 4> actual{};
  card.memory().read(0x4000, actual);
  EXPECT_EQ(actual, expected);
}

// A byte write cycle in word mode moves a whole word position but has only
// the low byte to give: the byte above keeps its contents.
TEST(RemoteDmaOddCycles, ByteWriteCycleInWordModeLeavesTheByteAboveAlone) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  startController(card, kDcrWordWide);
  const std::array<std::uint8_t, 4> guard = {0xC0, 0xC1, 0xC2, 0xC3};
  card.memory().write(0x4000, guard);
  setUpRemoteDma(card, 0x4000, 4, cr::kRemoteWrite);

  card.write8(port::DATA, 0x70);
  card.write8(port::DATA, 0x72);

  const std::array<std::uint8_t, 4> expected = {0x70, 0xC1, 0x72, 0xC3};
  std::array<std::uint8_t, 4> actual{};
  card.memory().read(0x4000, actual);
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(readCrda(card), 0x4004);
}

// ---------------------------------------------------------------------------
// The channel's life: start, stop short, abort, restart.

TEST(RemoteDmaChannel, ReadSetUpForMoreThanIsReadStaysActiveUntilAborted) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word, MemoryPlacement{0x0000, 0x0000}));
  card.memory().loadProm(wordWidePromImage({0x00, 0x40, 0x95, 0x12, 0x34, 0x56}));
  startController(card, kDcrWordWide);
  card.write8(port::ISR, 0xFF);
  // The station-address read: a count of 12, six byte reads of a word-wide
  // PROM in word mode, no wait and no abort.
  setUpRemoteDma(card, 0x0000, 12, cr::kRemoteRead);
  std::array<std::uint8_t, 6> station{};
  for (std::uint8_t& byte : station) {
    byte = card.read8(port::DATA);
  }
  EXPECT_EQ(station, (std::array<std::uint8_t, 6>{0x00, 0x40, 0x95, 0x12, 0x34, 0x56}));
  EXPECT_EQ(card.read8(port::ISR) & isr::kRdc, isr::kRdc) << "12 bytes moved: count ran out";

  setUpRemoteDma(card, 0x0000, 12, cr::kRemoteRead);
  static_cast<void>(card.read8(port::DATA));
  card.write8(port::CR, cr::kStartAbort);
  EXPECT_EQ(card.read8(port::DATA), 0xFF) << "an aborted channel moves nothing";
  EXPECT_EQ(readCrda(card), 0x0002);
  EXPECT_EQ(card.controller().remoteDma().remainingCount(), 10) << "abort keeps the count";
}

TEST(RemoteDmaChannel, ReissuedCommandCarriesOnWhereTheChannelStopped) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte));
  startController(card, kDcrByteWide);
  const std::array<std::uint8_t, 4> memory = {0x01, 0x02, 0x03, 0x04};
  card.memory().write(0x4000, memory);
  setUpRemoteDma(card, 0x4000, 4, cr::kRemoteRead);
  EXPECT_EQ(card.read8(port::DATA), 0x01);
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::CR, cr::kRemoteRead);
  EXPECT_EQ(card.read8(port::DATA), 0x02);
}

TEST(RemoteDmaChannel, CommandWithNothingToMoveCompletesAtOnce) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  startController(card, kDcrWordWide);
  card.write8(port::ISR, 0xFF);
  setUpRemoteDma(card, 0x4000, 0, cr::kRemoteRead);
  EXPECT_EQ(card.read8(port::ISR) & isr::kRdc, isr::kRdc);
  EXPECT_EQ(card.read16(port::DATA), 0xFFFF);
  EXPECT_EQ(readCrda(card), 0x4000);
}

TEST(RemoteDmaChannel, CyclesAgainstTheChannelsDirectionMoveNothing) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte));
  startController(card, kDcrByteWide);
  card.memory().write(0x4000, 0x5A);
  setUpRemoteDma(card, 0x4000, 2, cr::kRemoteRead);
  card.write8(port::DATA, 0x99);
  EXPECT_EQ(card.memory().read(0x4000), 0x5A);
  EXPECT_EQ(readCrda(card), 0x4000);

  setUpRemoteDma(card, 0x4000, 2, cr::kRemoteWrite);
  EXPECT_EQ(card.read8(port::DATA), 0xFF);
  EXPECT_EQ(readCrda(card), 0x4000);
}

TEST(RemoteDmaChannel, IdleChannelReadsFloatAndDropsWrites) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  startController(card, kDcrWordWide);
  card.memory().write(0x4000, 0x5A);
  card.write8(port::RSAR0, 0x00);
  card.write8(port::RSAR1, 0x40);
  EXPECT_EQ(card.read16(port::DATA), 0xFFFF);
  card.write16(port::DATA, 0x1234);
  EXPECT_EQ(card.memory().read(0x4000), 0x5A);
  EXPECT_EQ(readCrda(card), 0x4000);
}

// ---------------------------------------------------------------------------
// The receive ring: the channel wraps from PSTOP to PSTART.

struct WrapCase {
  std::string name;
  MemoryPlacement placement;
  std::uint8_t pstart;
  std::uint8_t pstop;
  std::uint16_t start;
  std::uint16_t count;
  // Where the bytes go: runs of (card address, length).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
  std::uint16_t crdaAfter;
};

class RemoteDmaWrap : public testing::TestWithParam<WrapCase> {};

TEST_P(RemoteDmaWrap, WordWriteAndReadFollowTheRing) {
  const WrapCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word, c.placement));
  startController(card, kDcrWordWide);
  setRing(card, c.pstart, c.pstop);
  const std::vector<std::uint8_t> before = snapshot(card.memory());
  const std::vector<std::uint8_t> data = pattern(c.count, 0x61);

  setUpRemoteDma(card, c.start, c.count, cr::kRemoteWrite);
  card.writeString16(port::DATA, data);
  EXPECT_EQ(readCrda(card), c.crdaAfter);

  std::vector<std::uint8_t> expected = before;
  std::size_t from = 0;
  for (const auto& [address, length] : c.runs) {
    for (std::uint32_t i = 0; i < length; ++i) {
      const std::uint32_t at = address + i;
      const bool ram = at >= c.placement.start && at < c.placement.start + c.placement.size &&
                       at >= kPromImageSize;
      if (ram) {
        expected[at] = data[from];
      }
      ++from;
    }
  }
  ASSERT_EQ(from, data.size());
  EXPECT_EQ(snapshot(card.memory()), expected);

  std::vector<std::uint8_t> back(c.count);
  setUpRemoteDma(card, c.start, c.count, cr::kRemoteRead);
  card.readString16(port::DATA, back);
  from = 0;
  for (const auto& [address, length] : c.runs) {
    for (std::uint32_t i = 0; i < length; ++i, ++from) {
      EXPECT_EQ(back[from], expected[address + i]) << "byte " << from;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rings, RemoteDmaWrap,
                         testing::Values(WrapCase{"AcrossTheRingEnd",
                                                  {0x4000, 0x4000},
                                                  0x4C,
                                                  0x80,
                                                  0x7FF0,
                                                  0x40,
                                                  {{0x7FF0, 0x10}, {0x4C00, 0x30}},
                                                  0x4C30},
                                         WrapCase{"EndingExactlyAtTheRingEnd",
                                                  {0x4000, 0x4000},
                                                  0x4C,
                                                  0x80,
                                                  0x7FC0,
                                                  0x40,
                                                  {{0x7FC0, 0x40}},
                                                  0x4C00},
                                         WrapCase{"StartingPastTheRingEndRunsOn",
                                                  {0x4000, 0x8000},
                                                  0x4C,
                                                  0x80,
                                                  0x8000,
                                                  0x20,
                                                  {{0x8000, 0x20}},
                                                  0x8020},
                                         WrapCase{"RingEndBelowRingStartDoesNotWrap",
                                                  {0x4000, 0x4000},
                                                  0x80,
                                                  0x4C,
                                                  0x4BF0,
                                                  0x20,
                                                  {{0x4BF0, 0x20}},
                                                  0x4C10},
                                         WrapCase{"TopOfTheAddressSpace",
                                                  {0x4000, 0xC000},
                                                  0x00,
                                                  0x00,
                                                  0xFFF0,
                                                  0x20,
                                                  {{0xFFF0, 0x10}, {0x0000, 0x10}},
                                                  0x0010}),
                         CaseName{});

// ---------------------------------------------------------------------------
// A controller whose remote-DMA address never moves.

TEST(RemoteDmaFaults, FrozenAddressStillCountsDown) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte));
  startController(card, kDcrByteWide);
  card.faults().crdaFrozen = true;
  card.write8(port::ISR, 0xFF);
  setUpRemoteDma(card, 0x4400, 3, cr::kRemoteWrite);
  const std::array<std::uint8_t, 3> data = {0x01, 0x02, 0x03};
  card.writeString8(port::DATA, data);
  EXPECT_EQ(readCrda(card), 0x4400);
  EXPECT_EQ(card.memory().read(0x4400), 0x03) << "every byte went to the one address";
  EXPECT_EQ(card.memory().read(0x4401), 0x00);
  elapse(clock, kControllerSettles);
  EXPECT_EQ(card.read8(port::ISR) & isr::kRdc, isr::kRdc);
}

}  // namespace
}  // namespace kl::sim::card::test
