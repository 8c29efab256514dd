// The card on a half-duplex wire: MIIMR bit 6 as the MAC's duplex, taken at
// TXP; TSR after a clean frame, after collisions (COL), after a late one
// (OWC) and after the 16th (ABT and COL, ISR TXE); and what the receiver
// does with what collisions leave of the far end's frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/core/random.h"
#include "wire_test_support.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

constexpr std::uint8_t kMiimrFullDuplex = 0x40;
constexpr std::uint8_t kTsrCol = 0x04;
constexpr std::uint8_t kTsrAbt = 0x08;
constexpr std::uint8_t kTsrOwc = 0x80;
constexpr MacAddress kFarStation = {0x02, 0x00, 0x4B, 0x4C, 0x70, 0x99};
constexpr std::uint64_t kSeed = 3;

Duration bits(std::uint64_t count) { return net::bitTime(count, net::BitRate::Mbit100); }

// The card's frame goes out this long after its TXP: the rig runs at the
// typical corner.
const Duration kTransmitStart = rangeOf(Timing::TransmitStart).typical;

void writeMiimr(Card& card, std::uint8_t value) {
  card.write8(port::CR, cr::kPage3Start);
  card.write8(port::MIIMR, value);
  card.write8(port::CR, cr::kStartAbort);
}

// How the far end behaves while the card sends.
enum class Far : std::uint8_t {
  Silent,
  SameInstant,  // one frame, started with the card's
  MidFrame,     // one frame, started 2000 bit times into the card's
  Flood,        // minimal frames back to back until the card is done
};

struct Rig : WireRig {
  explicit Rig(net::Duplex farDuplex) : random(kSeed) {
    cable.useRandom(random);
    cable.end(kFar).setDuplex(farDuplex);
    start();
  }

  [[nodiscard]] bool cardDone() { return (card.read8(port::ISR) & (isr::kPtx | kIsrTxe)) != 0; }

  void flood() {
    if (cardDone()) {
      return;
    }
    far.end().send(net::WireFrame{net::withFcs(frameTo(kFarStation, 60))},
                   [this](const net::SendOutcome& /*sent*/) { flood(); });
  }

  void farSends(Far what) {
    const std::vector<std::uint8_t> frame = frameTo(kFarStation, 1000, 9);
    switch (what) {
      case Far::Silent:
        break;
      case Far::SameInstant:
        clock.scheduleIn(kTransmitStart, [this, frame] { far.send(frame); });
        break;
      case Far::MidFrame:
        clock.scheduleIn(bits(2000), [this, frame] { far.send(frame); });
        break;
      case Far::Flood:
        flood();
        break;
    }
  }

  WorldRandom random;
};

std::size_t wholeCopies(const net::FrameEndpoint& endpoint, const std::vector<std::uint8_t>& sent) {
  std::size_t copies = 0;
  for (const net::FrameEndpoint::Arrival& arrival : endpoint.arrivals()) {
    copies += arrival.frame.bytes == net::withFcs(sent) ? 1 : 0;
  }
  return copies;
}

std::size_t damaged(const net::FrameEndpoint& endpoint) {
  std::size_t count = 0;
  for (const net::FrameEndpoint::Arrival& arrival : endpoint.arrivals()) {
    count += net::fcsValid(arrival.frame.bytes) ? 0 : 1;
  }
  return count;
}

struct TransmitCase {
  std::string name;
  bool fullDuplex;  // MIIMR bit 6 at TXP
  net::Duplex farDuplex;
  Far far;
  std::uint8_t tsr;
  std::uint8_t isr;  // PTX or TXE
  std::size_t crossed;
  bool farGetsDamage;  // something cut short reached the far end
};

class HalfDuplexTransmit : public testing::TestWithParam<TransmitCase> {};

TEST_P(HalfDuplexTransmit, TsrTellsHowTheFrameFared) {
  const TransmitCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  Rig rig(c.farDuplex);
  writeMiimr(rig.card, c.fullDuplex ? kMiimrFullDuplex : 0);
  const std::vector<std::uint8_t> frame = frameTo(kFarStation, 1000, 1);
  rig.transmit(frame);
  rig.farSends(c.far);
  for (int step = 0; step < 1000 && !rig.cardDone(); ++step) {
    rig.run(1ms);
  }
  rig.run(1ms);

  EXPECT_EQ(rig.card.read8(port::ISR) & (isr::kPtx | kIsrTxe), c.isr);
  EXPECT_EQ(rig.card.read8(port::TSR), c.tsr);
  EXPECT_EQ(wholeCopies(rig.far, frame), c.crossed);
  EXPECT_EQ(damaged(rig.far) > 0, c.farGetsDamage);
}

INSTANTIATE_TEST_SUITE_P(
    Duplex, HalfDuplexTransmit,
    testing::Values(TransmitCase{"FullDuplexSendsOverTheFarFrame", true, net::Duplex::Full,
                                 Far::SameInstant, kTsrPtx, isr::kPtx, 1, false},
                    TransmitCase{"HalfDuplexOnAQuietWire", false, net::Duplex::Half, Far::Silent,
                                 kTsrPtx, isr::kPtx, 1, false},
                    TransmitCase{"HalfDuplexCollidesAndRetries", false, net::Duplex::Half,
                                 Far::SameInstant, kTsrPtx | kTsrCol, isr::kPtx, 1, false},
                    TransmitCase{"HalfDuplexLateCollision", false, net::Duplex::Full, Far::MidFrame,
                                 kTsrPtx | kTsrCol | kTsrOwc, isr::kPtx, 1, true},
                    TransmitCase{"ExcessiveCollisions", false, net::Duplex::Full, Far::Flood,
                                 kTsrAbt | kTsrCol, kIsrTxe, 0, false}),
    CaseName{});

// Bit 6 counts as it was at TXP: changing it in mid-frame, as the MII
// frames do, leaves the frame on the air as it started.
TEST(HalfDuplexTransmit, DuplexIsTakenAtTxp) {
  for (const bool atTxp : {false, true}) {
    SCOPED_TRACE(atTxp ? "full duplex at TXP" : "half duplex at TXP");
    Rig rig(net::Duplex::Full);
    writeMiimr(rig.card, atTxp ? kMiimrFullDuplex : 0);
    rig.transmit(frameTo(kFarStation, 1000, 1));
    writeMiimr(rig.card, atTxp ? 0x00 : static_cast<std::uint8_t>(kMiimrFullDuplex | 0x03));
    rig.farSends(Far::MidFrame);
    rig.run(5ms);
    EXPECT_EQ(rig.card.read8(port::TSR) & kTsrOwc, atTxp ? 0 : kTsrOwc);
  }
}

// ---------------------------------------------------------------------------
// The receiving side of a collision: a runt is dropped unseen; a frame cut
// after the slot time fails its FCS and counts in CNTR1. The far frame sent
// again afterwards is stored once.

struct ReceiveCase {
  std::string name;
  bool fullDuplex;
  std::uint64_t cardStartsBits;  // after the far frame began
  std::uint8_t crcErrors;
  bool rxe;
};

class HalfDuplexReceive : public testing::TestWithParam<ReceiveCase> {};

TEST_P(HalfDuplexReceive, WhatACollisionLeavesIsNeverStored) {
  const ReceiveCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  Rig rig(net::Duplex::Half);
  writeMiimr(rig.card, c.fullDuplex ? kMiimrFullDuplex : 0);
  const std::vector<std::uint8_t> farFrame = frameTo(kStation, 1000, 7);
  const std::uint8_t currBefore = rig.curr();
  rig.far.send(farFrame);
  rig.clock.scheduleIn(bits(c.cardStartsBits) - kTransmitStart,
                       [&rig] { rig.transmit(frameTo(kFarStation, 1000, 1)); });
  rig.run(20ms);

  // 4 + 1004 bytes take four pages of the ring.
  EXPECT_EQ(rig.curr(), static_cast<std::uint8_t>(currBefore + 4));
  EXPECT_EQ(rig.card.read8(port::CNTR0), 0);
  EXPECT_EQ(rig.card.read8(port::CNTR1), c.crcErrors);
  EXPECT_EQ(rig.card.read8(port::CNTR2), 0);
  EXPECT_EQ((rig.card.read8(port::ISR) & kIsrRxe) != 0, c.rxe);
  EXPECT_GT(rig.cable.accessCounts(WireRig::kFar).collisions, 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Duplex, HalfDuplexReceive,
    testing::Values(ReceiveCase{"HalfDuplexCardSeesARunt", false, 300, 0, false},
                    ReceiveCase{"FullDuplexCardSeesABadFcs", true, 2000, 1, true}),
    CaseName{});

}  // namespace
}  // namespace kl::sim::card::test
