// Ring headers that are not where or what a plain header would be, laid in
// the receive ring byte for byte and taken out through the interrupt handler:
// a header one data-port access further on than its page start, a next page
// outside the ring or not following from the count, a count whose high byte
// repeats its low byte (also across the ring's end and with a low byte above
// 252), and a lookahead that runs over the ring's end. Each is delivered
// whole, or abandoned with every frame behind it up to CURR.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/driver/datapath_bench.h"

namespace kl::test {
namespace {

using sim::card::BusWidth;

constexpr std::array<std::uint8_t, 6> kPeer = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
constexpr std::uint8_t kRingFirst = 0x4C;  // the bench's ring: pages 0x4C-0x7F
constexpr std::uint8_t kRingStop = 0x80;
constexpr std::uint8_t kRingPages = kRingStop - kRingFirst;
constexpr std::size_t kFcsLength = 4;
constexpr std::uint8_t kFcsFill = 0xFC;

struct HeaderRow {
  std::string name;
  BusWidth width;
  std::uint8_t page;
  std::size_t length;
  // Bytes stored ahead of the header at the page's start: the header then
  // sits that far into the page.
  std::vector<std::uint8_t> lead;
  bool repeatCountByte = false;  // the count's high byte stored as its low byte
  std::uint8_t nextSkew = 0;     // pages added to the true next page
  bool delivered = true;
  std::uint8_t status = 0x01;  // the receive status the header carries
  std::uint32_t ramStart = 0x4000;
};

// The page `pages` on from `page`, around the adapter's ring.
std::uint8_t RingPage(const Adapter& a, std::uint32_t page, std::uint32_t pages) {
  const std::uint32_t size = a.RxStopPage - a.RxFirstPage;
  return static_cast<std::uint8_t>(a.RxFirstPage + (page - a.RxFirstPage + pages) % size);
}

void PrintTo(const HeaderRow& row, std::ostream* out) { *out << row.name; }

class RingHeader : public ::testing::TestWithParam<HeaderRow> {};

TEST_P(RingHeader, IsTakenWholeOrAbandonsTheRingUpToCurr) {
  const HeaderRow& row = GetParam();
  DatapathBench bench(AdapterPlacement{.width = row.width, .ramStart = row.ramStart});
  HandBuiltAdapter& nic = bench.nic();
  const Adapter& a = *bench.adapter();
  bench.adapter()->NextPacketPage = row.page;
  nic.setCurr(row.page);

  const std::vector<std::uint8_t> frame =
      PatternFrame(row.length, nic.placement().station, kPeer, row.page);
  const std::size_t count = row.length + kFcsLength;
  const std::size_t stored = row.lead.size() + 4 + count;
  const std::uint8_t next = RingPage(a, row.page, (stored + 255) / 256);
  const auto countLow = static_cast<std::uint8_t>(count);
  std::vector<std::uint8_t> bytes = row.lead;
  bytes.insert(bytes.end(),
               {row.status, RingPage(a, next, row.nextSkew), countLow,
                row.repeatCountByte ? countLow : static_cast<std::uint8_t>(count >> 8)});
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  bytes.insert(bytes.end(), kFcsLength, kFcsFill);
  nic.storeRingBytes(nic.pageAddress(row.page), bytes);
  // A plain frame behind it shows where the read pointer went. It ends
  // beyond the pages a skewed next page claims, so that only the count can
  // tell that page wrong.
  const std::vector<std::uint8_t> behind = PatternFrame(600, nic.placement().station, kPeer, 99);
  const std::uint8_t curr = nic.storeFrame(next, behind);
  nic.setCurr(curr);
  nic.raiseStatus(0x01);

  std::vector<std::vector<std::uint8_t>> got;
  for (const DatapathProtocol::Frame& f : nic.protocol.frames) {
    EXPECT_EQ(f.transferStatus, NDIS_STATUS_SUCCESS);
    got.push_back(f.bytes);
  }
  const std::vector<std::vector<std::uint8_t>> expected =
      row.delivered ? std::vector<std::vector<std::uint8_t>>{frame, behind}
                    : std::vector<std::vector<std::uint8_t>>{};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(bench.adapter()->NextPacketPage, curr);
}

// The shifted rows move the header by one data-port access: a byte in byte
// mode, a word in word mode. A count of 0x203 makes the first look at a
// header moved by a byte read a next page of 0x01 (below the ring) with a
// plausible count, or of 0x81 (above it) where the true status is 0x81.
INSTANTIATE_TEST_SUITE_P(
    Shapes, RingHeader,
    ::testing::Values(
        HeaderRow{"ByteShiftedByOne", BusWidth::Byte, 0x60, 600, {0x40}},
        HeaderRow{"WordShiftedByOne", BusWidth::Word, 0x60, 600, {0x40, 0x40}},
        HeaderRow{"FirstLookNextPageOutsideTheRing", BusWidth::Byte, 0x60, 0x1FF, {0x01}},
        HeaderRow{.name = "FirstLookNextPageAboveTheRing",
                  .width = BusWidth::Byte,
                  .page = 0x60,
                  .length = 0x1FF,
                  .lead = {0x01},
                  .status = 0x81},
        HeaderRow{.name = "ByteNextPageNotFromTheCount",
                  .width = BusWidth::Byte,
                  .page = 0x60,
                  .length = 600,
                  .nextSkew = 2,
                  .delivered = false},
        HeaderRow{.name = "WordNextPageNotFromTheCount",
                  .width = BusWidth::Word,
                  .page = 0x60,
                  .length = 600,
                  .nextSkew = 2,
                  .delivered = false},
        HeaderRow{.name = "RepeatedCountAcrossTheRingsEnd",
                  .width = BusWidth::Word,
                  .page = kRingStop - 2,
                  .length = 1340,
                  .repeatCountByte = true},
        HeaderRow{.name = "RepeatedCountLowByteAbove252",
                  .width = BusWidth::Word,
                  .page = 0x60,
                  .length = 1273,
                  .repeatCountByte = true},
        HeaderRow{.name = "RepeatedCountLowByteAbove252AcrossTheEnd",
                  .width = BusWidth::Byte,
                  .page = kRingStop - 3,
                  .length = 1273,
                  .repeatCountByte = true},
        HeaderRow{"ByteLookaheadCrossesTheRingsEnd", BusWidth::Byte, kRingStop - 1, 600, {0x40}},
        // A byte with an error bit, or a group status before an individual
        // destination, is no receive status: the header is looked for one
        // byte further on. Read as a header, the bytes at the page's start
        // would otherwise pass (a ring at 0x80-0xB3 holds the page 0x81 that
        // the true status reads as, and the count low byte 4 as the count's
        // high byte gives a plausible length) and be declined, abandoning
        // the ring.
        HeaderRow{.name = "ByteErrorStatusBeforeTheHeader",
                  .width = BusWidth::Byte,
                  .page = 0x90,
                  .length = 512,
                  .lead = {0x02},
                  .status = 0x81,
                  .ramStart = 0x7400},
        HeaderRow{.name = "ByteGroupStatusBeforeAnIndividualDestination",
                  .width = BusWidth::Byte,
                  .page = 0x90,
                  .length = 512,
                  .lead = {0x21},
                  .status = 0x81,
                  .ramStart = 0x7400},
        HeaderRow{
            "WordLookaheadCrossesTheRingsEnd", BusWidth::Word, kRingStop - 1, 600, {0x40, 0x40}}),
    [](const auto& test) { return test.param.name; });

// Frames of an earlier lap still fill the ring round to where the driver
// reads; a header just before CURR claims a frame that runs past it. The
// pass takes the frames up to it, gives that one up at CURR, and does not
// follow the old chain round the ring to take the same frames again.
TEST(RingHeaderPastCurr, StaleFramesRoundTheRingAreNotTakenAgain) {
  DatapathBench bench;
  HandBuiltAdapter& nic = bench.nic();
  constexpr std::uint8_t kFirst = kRingFirst + 1;
  constexpr std::size_t kFourPages = 800;  // 808 bytes stored with the header and FCS
  bench.adapter()->NextPacketPage = kFirst;
  std::vector<std::vector<std::uint8_t>> frames;
  std::uint8_t page = kFirst;
  for (std::uint32_t i = 0; i < kRingPages / 4; ++i) {
    frames.push_back(PatternFrame(kFourPages, nic.placement().station, kPeer, i));
    page = nic.storeFrame(page, frames.back());
  }
  ASSERT_EQ(page, kFirst) << "the old frames should fill the ring exactly";
  // CURR one page past the fourth header: that frame was never finished.
  nic.setCurr(kFirst + 3 * 4 + 1);
  nic.raiseStatus(0x01);

  std::vector<std::vector<std::uint8_t>> got;
  for (const DatapathProtocol::Frame& f : nic.protocol.frames) {
    got.push_back(f.bytes);
  }
  EXPECT_EQ(got, std::vector<std::vector<std::uint8_t>>(frames.begin(), frames.begin() + 3));
  EXPECT_EQ(bench.adapter()->NextPacketPage, kFirst + 3 * 4 + 1);
}

}  // namespace
}  // namespace kl::test
