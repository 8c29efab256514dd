// Faults a test injects into the card, seen from the bus and the cable as the
// driver would meet them: a card out of its socket, a glitch on its interrupt
// line, a bad memory cell, a controller that never shows RST, and a receiver
// that finds its ring full.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "wire_test_support.h"

namespace kl::sim::card::test {
namespace {

constexpr std::uint8_t kImrNormal = 0x1B;

TEST(Removed, EveryPortReadsFloatingWritesAreLostAndTheLineIsLetGo) {
  WireRig rig;
  rig.start();
  rig.card.write8(port::IMR, kImrNormal);
  rig.card.controller().setIsrBits(isr::kPrx);
  (void)rig.card.read8(port::VENDOR);
  rig.card.write8(port::VENDOR, 0x01);
  ASSERT_TRUE(rig.card.interruptAsserted());

  const LineListener host(rig.card);
  rig.card.faults().removed = true;
  EXPECT_FALSE(rig.card.interruptAsserted());
  EXPECT_FALSE(host.heard());
  for (std::uint16_t offset = 0; offset < Card::kPortCount; ++offset) {
    EXPECT_EQ(rig.card.read8(offset), 0xFF) << "port " << offset;
  }
  EXPECT_EQ(rig.card.read16(port::DATA), 0xFFFF);
  std::vector<std::uint8_t> words(8, 0);
  rig.card.readString16(port::DATA, words);
  EXPECT_EQ(words, std::vector<std::uint8_t>(8, 0xFF));
  rig.card.write8(port::CR, cr::kStopAbort);
  rig.card.write8(port::IMR, 0x00);
  rig.deliver(frameTo(kStation, 100));

  rig.card.faults().removed = false;
  EXPECT_FALSE(rig.card.controller().stopped());
  EXPECT_EQ(rig.card.controller().imr(), kImrNormal);
  EXPECT_EQ(rig.curr(), kPstart + 1) << "a card out of its socket received";
  EXPECT_TRUE(rig.card.interruptAsserted());
  EXPECT_TRUE(host.heard()) << "the line came back unannounced";
}

TEST(LineGlitch, AssertsWithNoCauseUntilTheNextAccess) {
  WireRig rig;
  rig.start();
  const LineListener host(rig.card);
  rig.card.faults().lineGlitch = true;
  EXPECT_TRUE(rig.card.interruptAsserted());
  EXPECT_TRUE(host.heard());
  EXPECT_EQ(rig.card.read8(port::ISR), 0x00);
  EXPECT_FALSE(rig.card.interruptAsserted());
  EXPECT_FALSE(host.heard());
}

TEST(BadCell, ReadsBackInvertedFromTheHostAndToTheWire) {
  WireRig rig;
  rig.start();
  constexpr std::uint32_t kCell = kTxPage * 256U + 20;
  rig.card.faults().badCell = kCell;
  const std::vector<std::uint8_t> frame = frameTo(kStation, 60, 3);
  rig.transmit(frame);
  rig.run(std::chrono::milliseconds(1));
  ASSERT_EQ(rig.far.arrivals().size(), 1U);
  std::vector<std::uint8_t> expected = frame;
  expected[20] ^= 0xFF;
  std::vector<std::uint8_t> got = rig.far.arrivals()[0].frame.bytes;
  got.resize(frame.size());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(rig.card.memory().read(kCell - 1), frame[19]);
  EXPECT_EQ(rig.card.memory().read(kCell + 1), frame[21]);
}

TEST(RstHidden, StoppedWithStpShowingButNoRst) {
  WireRig rig;
  rig.card.faults().rstHidden = true;
  rig.card.write8(port::CR, cr::kStopAbort);
  EXPECT_TRUE(rig.card.controller().stopped());
  EXPECT_EQ(rig.card.read8(port::CR) & 0x01, 0x01);
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kRst, 0x00);
}

TEST(ReceiveOverruns, TheNextFramesFindTheRingFullAndTheLatchHolds) {
  WireRig rig;
  rig.start();
  rig.card.faults().receiveOverruns = 1;
  rig.deliver(frameTo(kStation, 100, 1));
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kOvw, isr::kOvw);
  EXPECT_EQ(rig.card.faults().receiveOverruns, 0U);
  rig.deliver(frameTo(kStation, 100, 2));
  EXPECT_EQ(rig.curr(), kPstart + 1) << "stored while overflowed";
  EXPECT_EQ(rig.card.read8(port::CNTR2), 2);
}

}  // namespace
}  // namespace kl::sim::card::test
