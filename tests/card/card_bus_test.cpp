// The card from the bus: the station PROM as the bus-width probe reads it,
// where packet memory answers, the reset port, partial decoding, and 16-bit
// cycles on the two bus widths.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "sim/card/card.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

constexpr MacAddress kStation = {0x00, 0x40, 0x95, 0x1A, 0x2B, 0x3C};

// ---------------------------------------------------------------------------
// Station PROM.

// The bus-width probe: 32 byte reads in byte mode from card address 0.
PromImage readPromLikeTheProbe(Card& card) {
  card.write8(port::CR, cr::kStopAbort);
  card.write8(port::DCR, kDcrByteWide);
  card.write8(port::IMR, 0x00);
  card.write8(port::ISR, 0xFF);
  setUpRemoteDma(card, 0x0000, 32, cr::kRemoteRead);
  PromImage image{};
  for (std::uint8_t& byte : image) {
    byte = card.read8(port::DATA);
  }
  return image;
}

TEST(StationProm, WordWideImageHoldsEachPromByteTwice) {
  const PromImage image = wordWidePromImage(kStation);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(image[2 * i], image[2 * i + 1]) << "PROM byte " << i;
  }
  for (std::size_t i = 0; i < kStation.size(); ++i) {
    EXPECT_EQ(image[2 * i], kStation[i]);
  }
  EXPECT_EQ(image[28], 0x57);
  EXPECT_EQ(image[29], 0x57);
}

TEST(StationProm, ByteWideImageHoldsTheAddressOnceAndItsSignature) {
  const PromImage image = byteWidePromImage(kStation);
  for (std::size_t i = 0; i < kStation.size(); ++i) {
    EXPECT_EQ(image[i], kStation[i]);
  }
  EXPECT_EQ(image[28], 0x42);
  EXPECT_EQ(image[29], 0x42);
}

struct PromCase {
  std::string name;
  BusWidth width;
  PromImage image;
};

class StationPromOnTheCard : public testing::TestWithParam<PromCase> {};

TEST_P(StationPromOnTheCard, ByteModeReadOfAddresses0To31ReturnsTheImage) {
  const PromCase& c = GetParam();
  Clock clock;
  Card card(clock, CardConfig{.busWidth = c.width, .memory = {}, .prom = c.image});
  EXPECT_EQ(readPromLikeTheProbe(card), c.image);
  EXPECT_EQ(card.read8(port::ISR) & isr::kRdc, isr::kRdc);
}

PromImage countingImage() {
  PromImage image{};
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>(0xE0 + i);
  }
  return image;
}

INSTANTIATE_TEST_SUITE_P(
    Images, StationPromOnTheCard,
    testing::Values(PromCase{"WordWide", BusWidth::Word, wordWidePromImage(kStation)},
                    PromCase{"ByteWide", BusWidth::Byte, byteWidePromImage(kStation)},
                    PromCase{"AnyImage", BusWidth::Word, countingImage()},
                    PromCase{"Erased", BusWidth::Byte, erasedPromImage()}),
    CaseName{});

TEST(StationPromOnTheCard, PromIsReadOnly) {
  Clock clock;
  Card card(clock, CardConfig{.busWidth = BusWidth::Byte, .memory = {}, .prom = countingImage()});
  startController(card, kDcrByteWide);
  setUpRemoteDma(card, 0x0000, 32, cr::kRemoteWrite);
  const std::vector<std::uint8_t> zeros(32, 0x00);
  card.writeString8(port::DATA, zeros);
  EXPECT_EQ(readPromLikeTheProbe(card), countingImage());
}

// ---------------------------------------------------------------------------
// Packet memory placement: which card addresses answer.

struct PlacementCase {
  std::string name;
  MemoryPlacement placement;
  std::vector<std::uint32_t> answering;
  std::vector<std::uint32_t> silent;
};

class MemoryPlacementCases : public testing::TestWithParam<PlacementCase> {};

// Writes a byte to each address by remote DMA and reads it back the same way.
TEST_P(MemoryPlacementCases, OnlyThePlacedRamKeepsWhatIsWritten) {
  const PlacementCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte, c.placement));
  startController(card, kDcrByteWide);
  const auto writeThenRead = [&card](std::uint32_t address) {
    setUpRemoteDma(card, static_cast<std::uint16_t>(address), 1, cr::kRemoteWrite);
    card.write8(port::DATA, 0x3C);
    setUpRemoteDma(card, static_cast<std::uint16_t>(address), 1, cr::kRemoteRead);
    return card.read8(port::DATA);
  };
  for (const std::uint32_t address : c.answering) {
    EXPECT_EQ(writeThenRead(address), 0x3C) << std::hex << "address 0x" << address;
  }
  for (const std::uint32_t address : c.silent) {
    EXPECT_EQ(writeThenRead(address), 0xFF) << std::hex << "address 0x" << address;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Placements, MemoryPlacementCases,
    testing::Values(PlacementCase{"Default16KAt4000",
                                  {},
                                  {0x4000, 0x5A5A, 0x7FFF},
                                  {0x0020, 0x03FF, 0x0400, 0x3FFF, 0x8000, 0xFF00, 0xFFFF}},
                    PlacementCase{"FromZeroBesideTheProm",
                                  {0x0000, 0x2000},
                                  {0x0020, 0x0400, 0x1FFF},
                                  {0x0000, 0x001F, 0x2000}},
                    PlacementCase{
                        "ReachingTheTop", {0x4000, 0xC000}, {0x4000, 0xFF00, 0xFFFF}, {0x3FFF}},
                    PlacementCase{"None", {0x4000, 0x0000}, {}, {0x3FFF, 0x4000, 0x7FFF}}),
    CaseName{});

TEST(MemoryPlacementCases, RamPastTheAddressSpaceIsRefused) {
  Clock clock;
  EXPECT_THROW(Card(clock, configFor(BusWidth::Word, MemoryPlacement{0xC000, 0x4001})),
               std::invalid_argument);
  EXPECT_NO_THROW(Card(clock, configFor(BusWidth::Word, MemoryPlacement{0xC000, 0x4000})));
}

// ---------------------------------------------------------------------------
// The reset port.

struct ResetCase {
  std::string name;
  std::uint16_t offset;
  bool read;
};

class ResetPort : public testing::TestWithParam<ResetCase> {};

TEST_P(ResetPort, PutsTheControllerIntoTheResetState) {
  const ResetCase& c = GetParam();
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  startController(card, kDcrWordWide);
  card.write8(port::IMR, 0x1B);
  static_cast<void>(card.read8(port::VENDOR));
  card.write8(port::VENDOR, 0x01);
  card.controller().setIsrBits(isr::kPrx);
  ASSERT_TRUE(card.interruptAsserted());
  setUpRemoteDma(card, 0x4000, 8, cr::kRemoteRead);

  if (c.read) {
    EXPECT_EQ(card.read8(c.offset), 0x00);
  } else {
    card.write8(c.offset, 0xFF);
  }

  EXPECT_EQ(card.read8(port::CR), 0x21);
  elapse(clock, kControllerSettles);
  EXPECT_EQ(card.read8(port::ISR) & isr::kRst, isr::kRst);
  EXPECT_EQ(card.controller().imr(), 0x00);
  EXPECT_FALSE(card.interruptAsserted()) << "IMR 0 masks every status bit";
  EXPECT_EQ(card.read16(port::DATA), 0xFFFF) << "the remote DMA is idle";
  EXPECT_EQ(readCrda(card), 0x4000);
}

INSTANTIATE_TEST_SUITE_P(Accesses, ResetPort,
                         testing::Values(ResetCase{"Read1F", 0x1F, true},
                                         ResetCase{"Write1F", 0x1F, false},
                                         ResetCase{"Read18", 0x18, true},
                                         ResetCase{"Write1C", 0x1C, false}),
                         CaseName{});

// ---------------------------------------------------------------------------
// Partial decoding of the data port.

class DataPortAliases : public testing::TestWithParam<std::uint16_t> {};

TEST_P(DataPortAliases, EveryOffsetFrom10To17IsTheDataPort) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte));
  startController(card, kDcrByteWide);
  setUpRemoteDma(card, 0x4000, 2, cr::kRemoteWrite);
  card.write8(GetParam(), 0x81);
  card.write8(GetParam(), 0x82);
  setUpRemoteDma(card, 0x4000, 2, cr::kRemoteRead);
  EXPECT_EQ(card.read8(GetParam()), 0x81);
  EXPECT_EQ(card.read8(GetParam()), 0x82);
}

INSTANTIATE_TEST_SUITE_P(Offsets, DataPortAliases, testing::Range<std::uint16_t>(0x10, 0x18));

// ---------------------------------------------------------------------------
// 16-bit cycles: a byte-wide card answers each as two byte cycles.

TEST(WordCycles, ByteWideCardSplitsDataPortWordsLowByteFirst) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte));
  startController(card, kDcrByteWide);
  setUpRemoteDma(card, 0x4000, 4, cr::kRemoteWrite);
  card.write16(port::DATA, 0x2211);
  card.write16(port::DATA, 0x4433);
  std::array<std::uint8_t, 4> stored{};
  card.memory().read(0x4000, stored);
  EXPECT_EQ(stored, (std::array<std::uint8_t, 4>{0x11, 0x22, 0x33, 0x44}));

  setUpRemoteDma(card, 0x4000, 4, cr::kRemoteRead);
  EXPECT_EQ(card.read16(port::DATA), 0x2211);
  EXPECT_EQ(card.read16(port::DATA), 0x4433);
}

TEST(WordCycles, WordAtTheLastDataPortOffsetReachesTheResetPort) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Byte));
  startController(card, kDcrByteWide);
  card.memory().write(0x4000, 0x77);
  setUpRemoteDma(card, 0x4000, 4, cr::kRemoteRead);
  EXPECT_EQ(card.read16(0x17), 0x0077) << "low byte from the data port, high from reset";
  elapse(clock, kControllerSettles);
  EXPECT_EQ(card.read8(port::ISR) & isr::kRst, isr::kRst);
}

TEST(WordCycles, RegisterOffsetsAreSplitOnEitherWidth) {
  for (const BusWidth width : {BusWidth::Byte, BusWidth::Word}) {
    Clock clock;
    Card card(clock, configFor(width));
    startController(card, kDcrWordWide);
    card.write8(port::RSAR0, 0x34);
    card.write8(port::RSAR1, 0x12);
    EXPECT_EQ(card.read16(port::CRDA0), 0x1234);
    card.write16(port::RSAR0, 0x5678);
    EXPECT_EQ(readCrda(card), 0x5678);
  }
}

TEST(WordCycles, OffsetsPastTheCardFloat) {
  Clock clock;
  Card card(clock, configFor(BusWidth::Word));
  card.write8(port::CR, cr::kStartAbort);
  EXPECT_EQ(card.read8(0x20), 0xFF);
  card.write8(0x20, 0x21);
  EXPECT_EQ(card.read8(port::CR), cr::kStartAbort);
}

}  // namespace
}  // namespace kl::sim::card::test
