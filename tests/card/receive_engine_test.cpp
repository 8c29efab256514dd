// The card's receiver, frames sent to it from the far end of the cable:
// address recognition, the ring header and the stored bytes, the wrap at
// PSTOP, overflow and its latch, runts, bad FCS and misalignment, and the
// states in which nothing is received.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/crc32.h"
#include "wire_test_support.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

constexpr MacAddress kOther = {0x02, 0x00, 0x4B, 0x4C, 0x70, 0x47};
constexpr MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// 01:00:5E:00:00:01 hashes to MAR3 bit 7.
constexpr MacAddress kAllHosts = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
constexpr MacAddress kOtherGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x02};

constexpr std::uint8_t kRsrPrx = 0x01;
constexpr std::uint8_t kRsrPhy = 0x20;

std::vector<std::uint8_t> ringBytes(const Card& card, std::uint8_t page, std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  card.memory().read(page * 256U, bytes);
  return bytes;
}

// The bytes stored for a frame whose header is at `page`, following the
// ring from PSTOP back to PSTART.
std::vector<std::uint8_t> storedFrame(const Card& card, std::uint8_t page, std::size_t length) {
  std::vector<std::uint8_t> bytes;
  std::size_t offset = ReceiveEngine::kHeaderBytes;
  while (bytes.size() < length) {
    const std::uint8_t byte = card.memory().read(page * 256U + static_cast<std::uint32_t>(offset));
    bytes.push_back(byte);
    if (++offset == 256) {
      offset = 0;
      page = page + 1 == kPstop ? kPstart : static_cast<std::uint8_t>(page + 1);
    }
  }
  return bytes;
}

TEST(MulticastHash, MatchesTheFilterBitsTheDriverComputes) {
  const std::uint32_t allHosts = ethernetCrcRegister(kAllHosts);
  EXPECT_EQ(allHosts >> 29, 3U);
  EXPECT_EQ((allHosts >> 26) & 7, 7U);
  const std::uint32_t broadcast = ethernetCrcRegister(kBroadcast);
  EXPECT_EQ(broadcast >> 29, 7U);
  EXPECT_EQ((broadcast >> 26) & 7, 7U);
}

struct FilterCase {
  std::string name;
  std::uint8_t rcr;
  std::array<std::uint8_t, 8> mar;
  MacAddress destination;
  bool stored;
  std::uint8_t status;  // ring header status when stored
};

constexpr std::array<std::uint8_t, 8> kNoMar{};
constexpr std::array<std::uint8_t, 8> kAllHostsMar = {0, 0, 0, 0x80, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 8> kAllOnes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

class AddressRecognition : public testing::TestWithParam<FilterCase> {};

TEST_P(AddressRecognition, StoresExactlyTheFramesTheFilterTakes) {
  const FilterCase& c = GetParam();
  WireRig rig;
  rig.start(c.rcr);
  rig.setMar(c.mar);
  rig.deliver(frameTo(c.destination, 60));
  if (c.stored) {
    EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPrx, isr::kPrx);
    EXPECT_EQ(rig.curr(), kPstart + 2);
    EXPECT_EQ(ringBytes(rig.card, kPstart + 1, 1)[0], c.status);
  } else {
    EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPrx, 0);
    EXPECT_EQ(rig.curr(), kPstart + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, AddressRecognition,
    testing::Values(
        FilterCase{"OwnAddress", 0, kNoMar, kStation, true, kRsrPrx},
        FilterCase{"OtherAddress", rcr::kAb | rcr::kAm, kAllOnes, kOther, false, 0},
        FilterCase{"OtherAddressPromiscuous", rcr::kPro, kNoMar, kOther, true, kRsrPrx},
        FilterCase{"BroadcastWithAb", rcr::kAb, kNoMar, kBroadcast, true, kRsrPrx | kRsrPhy},
        FilterCase{"BroadcastWithoutAb", rcr::kAm, kAllOnes, kBroadcast, false, 0},
        FilterCase{"BroadcastPromiscuousOnly", rcr::kPro, kAllOnes, kBroadcast, false, 0},
        FilterCase{"MulticastHashHit", rcr::kAm, kAllHostsMar, kAllHosts, true, kRsrPrx | kRsrPhy},
        FilterCase{"MulticastHashMiss", rcr::kAm, kAllHostsMar, kOtherGroup, false, 0},
        FilterCase{"MulticastWithoutAm", rcr::kAb, kAllOnes, kAllHosts, false, 0},
        FilterCase{"MulticastAllOnes", rcr::kAm, kAllOnes, kOtherGroup, true, kRsrPrx | kRsrPhy},
        FilterCase{"MonitorStoresNothing", rcr::kMon, kNoMar, kStation, false, 0}),
    CaseName{});

TEST(Receive, MonitorModeCountsTheFrameAsMissed) {
  WireRig rig;
  rig.start(rcr::kMon);
  rig.deliver(frameTo(kStation, 60));
  rig.deliverRaw(net::WireFrame{frameTo(kStation, 64)});  // its last four bytes are no FCS
  EXPECT_EQ(rig.card.read8(port::CNTR2), 1);
  EXPECT_EQ(rig.card.read8(port::CNTR1), 1);
}

struct LayoutCase {
  std::string name;
  std::size_t length;  // without FCS
  std::uint8_t curr;   // where the frame goes
  std::uint8_t next;   // the page after it
};

class StoredFrame : public testing::TestWithParam<LayoutCase> {};

TEST_P(StoredFrame, HeaderCountsTheFcsAndTheBytesFollowTheRing) {
  const LayoutCase& c = GetParam();
  WireRig rig;
  rig.start();
  // The ring empty at `curr`, as a driver that has consumed everything
  // before it leaves it.
  rig.setCurr(c.curr);
  rig.card.write8(port::BNRY, static_cast<std::uint8_t>(c.curr - 1));
  const std::vector<std::uint8_t> frame = frameTo(kStation, c.length, 0x5A);
  rig.deliver(frame);

  const std::vector<std::uint8_t> header = ringBytes(rig.card, c.curr, 4);
  const std::size_t count = c.length + 4;
  EXPECT_EQ(header, (std::vector<std::uint8_t>{kRsrPrx, c.next, static_cast<std::uint8_t>(count),
                                               static_cast<std::uint8_t>(count >> 8)}));
  EXPECT_EQ(storedFrame(rig.card, c.curr, count), net::withFcs(frame));
  EXPECT_EQ(rig.curr(), c.next);
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPrx, isr::kPrx);
  EXPECT_EQ(rig.card.read8(port::RSR), kRsrPrx);
}

INSTANTIATE_TEST_SUITE_P(Lengths, StoredFrame,
                         testing::Values(LayoutCase{"Shortest", 60, 0x47, 0x48},
                                         LayoutCase{"FillsOnePageExactly", 248, 0x47, 0x48},
                                         LayoutCase{"OneByteIntoTheNextPage", 249, 0x47, 0x49},
                                         LayoutCase{"Longest", 1514, 0x47, 0x4D},
                                         LayoutCase{"EndsOnTheLastPage", 1514, 0x7A, kPstart},
                                         LayoutCase{"WrapsAtPstop", 1514, 0x7D, 0x49},
                                         LayoutCase{"HeaderOnTheLastPage", 600, 0x7F, 0x48}),
                         CaseName{});

TEST(Receive, RuntsAreDroppedUncounted) {
  WireRig rig;
  rig.start();
  rig.deliver(frameTo(kStation, 59));  // 63 bytes with its FCS
  EXPECT_EQ(rig.card.read8(port::ISR) & (isr::kPrx | kIsrRxe), 0);
  EXPECT_EQ(rig.curr(), kPstart + 1);
  EXPECT_EQ(rig.card.read8(port::CNTR0) | rig.card.read8(port::CNTR1) | rig.card.read8(port::CNTR2),
            0);
  rig.deliver(frameTo(kStation, 60));
  EXPECT_EQ(rig.curr(), kPstart + 2);
}

// Failing packet memory: the frame is stored and reported as received, but
// one byte of it is not what came off the wire; the next frame is intact.
TEST(Receive, MemoryFaultDamagesOneStoredByteOfTheNextFrameOnly) {
  WireRig rig;
  rig.start();
  rig.card.faults().corruptStoredFrames = 1;
  const auto first = frameTo(kStation, 100, 1);
  const auto second = frameTo(kStation, 100, 2);
  rig.deliver(first);
  rig.deliver(second);
  EXPECT_EQ(rig.card.faults().corruptStoredFrames, 0U);
  std::vector<std::uint8_t> stored(100);
  rig.card.memory().read((kPstart + 1) * 256U + 4, stored);
  std::vector<std::uint8_t> expected = first;
  expected[30] ^= 0xFF;
  EXPECT_EQ(stored, expected);
  rig.card.memory().read((kPstart + 2) * 256U + 4, stored);
  EXPECT_EQ(stored, second);
}

struct ErrorCase {
  std::string name;
  bool badFcs;
  bool misaligned;
  std::uint16_t counter;  // the tally that counts it
};

class ReceiveErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ReceiveErrors, AreCountedFlaggedAndNotStored) {
  const ErrorCase& c = GetParam();
  WireRig rig;
  rig.start();
  net::WireFrame frame{net::withFcs(frameTo(kStation, 100)), c.misaligned};
  if (c.badFcs) {
    frame.bytes.back() ^= 0x01;
  }
  rig.deliverRaw(frame);
  rig.deliverRaw(frame);
  EXPECT_EQ(rig.card.read8(port::ISR) & (isr::kPrx | kIsrRxe), kIsrRxe);
  EXPECT_EQ(rig.curr(), kPstart + 1);
  const std::uint8_t counted = rig.card.read8(c.counter);
  EXPECT_EQ(counted, 2);
  EXPECT_EQ(rig.card.read8(port::CNTR0) + rig.card.read8(port::CNTR1) + rig.card.read8(port::CNTR2),
            0)
      << "only one tally counts the error";
}

INSTANTIATE_TEST_SUITE_P(Injected, ReceiveErrors,
                         testing::Values(ErrorCase{"BadFcs", true, false, port::CNTR1},
                                         ErrorCase{"Misaligned", false, true, port::CNTR0},
                                         ErrorCase{"MisalignedBadFcs", true, true, port::CNTR0}),
                         CaseName{});

struct IdleCase {
  std::string name;
  bool stopped;
  std::uint8_t tcr;
};

class ReceiverOff : public testing::TestWithParam<IdleCase> {};

TEST_P(ReceiverOff, TakesNothingFromTheCable) {
  WireRig rig;
  rig.start(0, GetParam().tcr);
  if (GetParam().stopped) {
    rig.card.write8(port::CR, cr::kStopAbort);
  }
  rig.deliver(frameTo(kStation, 60));
  rig.deliver(frameTo(kStation, 60));
  EXPECT_EQ(rig.card.read8(port::ISR) & (isr::kPrx | kIsrRxe | isr::kOvw), 0);
  EXPECT_EQ(rig.curr(), kPstart + 1);
}

INSTANTIATE_TEST_SUITE_P(States, ReceiverOff,
                         testing::Values(IdleCase{"Stopped", true, tcr::kNormal},
                                         IdleCase{"InternalLoopback", false,
                                                  tcr::kInternalLoopback},
                                         IdleCase{"ExternalLoopback", false, 0x04}),
                         CaseName{});

// The ring holds 0x3A pages less the one BNRY keeps: 9 frames of 6 pages.
TEST(Overflow, AFrameThatWouldReachBnryRaisesOvwAndLatchesUntilStopAndStart) {
  WireRig rig;
  rig.start();
  const std::vector<std::uint8_t> frame = frameTo(kStation, 1514);
  for (int i = 0; i < 9; ++i) {
    rig.deliver(frame);
  }
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kOvw, 0);
  const std::uint8_t full = rig.curr();
  EXPECT_EQ(full, kPstart + 1 + 9 * 6);

  rig.deliver(frame);
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kOvw, isr::kOvw);
  EXPECT_EQ(rig.card.read8(port::CNTR2), 1);
  EXPECT_EQ(rig.curr(), full);

  // The driver frees the whole ring, yet nothing is stored until a restart.
  rig.card.write8(port::BNRY, static_cast<std::uint8_t>(full - 1));
  rig.card.write8(port::ISR, 0xFF);
  rig.deliver(frameTo(kStation, 60));
  EXPECT_EQ(rig.card.read8(port::ISR) & (isr::kPrx | isr::kOvw), 0);
  EXPECT_EQ(rig.card.read8(port::CNTR2), 1);
  EXPECT_EQ(rig.curr(), full);

  rig.card.write8(port::CR, cr::kStopAbort);
  rig.card.write8(port::CR, cr::kStartAbort);
  rig.deliver(frameTo(kStation, 60));
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPrx, isr::kPrx);
  EXPECT_EQ(rig.curr(), full + 1);
}

TEST(Overflow, ASmallFrameStillFitsWhereALargeOneDoesNot) {
  WireRig rig;
  rig.start();
  for (int i = 0; i < 9; ++i) {
    rig.deliver(frameTo(kStation, 1514));
  }
  // Three pages are left before BNRY: a 700-byte frame takes them.
  EXPECT_EQ(rig.curr(), kPstop - 3);
  rig.deliver(frameTo(kStation, 700));
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kOvw, 0);
  EXPECT_EQ(rig.curr(), kPstart);
  rig.deliver(frameTo(kStation, 60));
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kOvw, isr::kOvw);
}

TEST(TwoCards, FramesCrossBothWaysAtOnceAndLandInTheOtherRing) {
  Clock clock;
  net::Cable cable(clock, net::BitRate::Mbit10);
  Card a(clock, configFor(BusWidth::Word));
  Card b(clock, configFor(BusWidth::Byte));
  a.plugInto(cable.end(net::Cable::Side::A));
  b.plugInto(cable.end(net::Cable::Side::B));
  startOnWire(a);
  startOnWire(b);
  const std::vector<std::uint8_t> fromA = frameTo(kStation, 1000, 0xA0);
  const std::vector<std::uint8_t> fromB = frameTo(kStation, 70, 0xB0);
  transmitFrom(a, fromA);
  transmitFrom(b, fromB);
  runUntil(clock, clock.now() + 2ms);
  for (Card* card : {&a, &b}) {
    EXPECT_EQ(card->read8(port::ISR) & (isr::kPrx | isr::kPtx), isr::kPrx | isr::kPtx);
  }
  EXPECT_EQ(storedFrame(b, kPstart + 1, fromA.size() + 4), net::withFcs(fromA));
  EXPECT_EQ(storedFrame(a, kPstart + 1, fromB.size() + 4), net::withFcs(fromB));
}

}  // namespace
}  // namespace kl::sim::card::test
