// The receive path against the card model: frames laid in the receive ring
// as the controller lays them, taken out through the interrupt handler, and
// what the protocol above is shown, byte for byte: across the ring's end, in
// budgeted passes, past corrupt headers, with a repeated count byte, at the
// length limits, with each lookahead size, and through transfer-data.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "driver/miniport_handlers.h"
#include "tests/driver/datapath_bench.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::card::BusWidth;

constexpr std::array<std::uint8_t, 6> kPeer = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
constexpr std::uint8_t kRingFirst = 0x4C;  // the bench's ring: pages 0x4C-0x7F
constexpr std::uint8_t kRingStop = 0x80;
constexpr std::uint8_t kPrx = 0x01;

class ReceiveBench {
 public:
  explicit ReceiveBench(BusWidth width = BusWidth::Word)
      : bench_(AdapterPlacement{.width = width}) {}

  HandBuiltAdapter& nic() { return bench_.nic(); }
  Adapter& record() { return *bench_.adapter(); }
  DatapathProtocol& protocol() { return nic().protocol; }

  // Reading starts at `page`, as if every frame before it had been taken.
  void readFrom(std::uint8_t page) {
    record().NextPacketPage = page;
    nic().setCurr(page);
  }
  std::vector<std::uint8_t> frame(std::size_t length, std::uint32_t seed) {
    return PatternFrame(length, nic().placement().station, kPeer, seed);
  }
  // The controller has stored frames up to `curr` and raises PRX.
  void received(std::uint8_t curr) {
    nic().setCurr(curr);
    nic().raiseStatus(kPrx);
  }
  [[nodiscard]] std::vector<std::vector<std::uint8_t>> delivered() const {
    std::vector<std::vector<std::uint8_t>> frames;
    for (const auto& f : bench_.nic().protocol.frames) {
      frames.push_back(f.bytes);
    }
    return frames;
  }

 private:
  mutable DatapathBench bench_;
};

std::string WidthName(BusWidth width) { return width == BusWidth::Byte ? "Byte" : "Word"; }

// ---------------------------------------------------------------------------
// Whole frames where they lie in the ring.

struct PlaceRow {
  std::string name;
  std::uint8_t page;
  std::size_t length;
};

class ReceivePlacement : public ::testing::TestWithParam<std::tuple<BusWidth, PlaceRow>> {};

TEST_P(ReceivePlacement, ArrivesWholeWhereverItLies) {
  const auto [width, row] = GetParam();
  ReceiveBench bench(width);
  bench.readFrom(row.page);
  const std::vector<std::uint8_t> frame = bench.frame(row.length, row.page);
  const std::uint8_t next = bench.nic().storeFrame(row.page, frame);
  bench.received(next);

  ASSERT_EQ(bench.protocol().frames.size(), 1U);
  const DatapathProtocol::Frame& got = bench.protocol().frames[0];
  EXPECT_EQ(got.packetSize, row.length - 14);
  EXPECT_EQ(got.lookahead.size(), std::min<std::size_t>(row.length - 14, 238));
  EXPECT_EQ(got.transferStatus, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(got.bytes, frame);
  EXPECT_EQ(bench.protocol().receiveCompletes, 1U);
  EXPECT_EQ(bench.record().NextPacketPage, next);
  const std::uint8_t behind = next == kRingFirst ? kRingStop - 1 : next - 1;
  EXPECT_EQ(bench.nic().card().controller().bnry(), behind);
}

INSTANTIATE_TEST_SUITE_P(
    Ring, ReceivePlacement,
    ::testing::Combine(::testing::Values(BusWidth::Byte, BusWidth::Word),
                       ::testing::Values(PlaceRow{"FirstPage", kRingFirst + 1, 1514},
                                         PlaceRow{"LookaheadCrossesTheEnd", kRingStop - 1, 600},
                                         PlaceRow{"TransferCrossesTheEnd", kRingStop - 2, 1514},
                                         PlaceRow{"EndsExactlyAtTheEnd", kRingStop - 1, 248},
                                         PlaceRow{"LastPageShortest", kRingStop - 1, 60})),
    [](const auto& test) {
      return WidthName(std::get<0>(test.param)) + std::get<1>(test.param).name;
    });

// ---------------------------------------------------------------------------
// Passes of at most 11 frames.

TEST(ReceiveBudget, ThirtyFramesComeInThreePassesInOrder) {
  ReceiveBench bench;
  bench.readFrom(kRingFirst + 1);
  std::vector<std::vector<std::uint8_t>> sent;
  std::uint8_t page = kRingFirst + 1;
  for (std::uint32_t i = 0; i < 30; ++i) {
    sent.push_back(bench.frame(60 + i, i));
    page = bench.nic().storeFrame(page, sent.back());
  }
  bench.received(page);

  EXPECT_EQ(bench.delivered(), sent);
  EXPECT_EQ(bench.protocol().receiveCompletes, 3U) << "passes of 11, 11 and 8 frames";
  EXPECT_EQ(bench.record().RcvPassCount, 8U);
  EXPECT_EQ(bench.record().NextPacketPage, page);
}

// The budget counts frames across passes: a pass that empties the ring after
// 7 leaves the next one 4 before it stops, and the passes after that 11.
TEST(ReceiveBudget, CarriesOverFromOnePassToTheNext) {
  ReceiveBench bench;
  std::uint8_t page = kRingFirst + 1;
  bench.readFrom(page);
  std::vector<std::vector<std::uint8_t>> sent;
  const auto store = [&](std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i) {
      sent.push_back(bench.frame(60 + sent.size(), static_cast<std::uint32_t>(sent.size())));
      page = bench.nic().storeFrame(page, sent.back());
    }
    bench.received(page);
  };
  store(7);
  ASSERT_EQ(bench.record().RcvPassCount, 7U);
  store(30);

  EXPECT_EQ(bench.delivered(), sent);
  EXPECT_EQ(bench.protocol().receiveCompletes, 5U) << "passes of 7, then 4, 11, 11 and 4";
  EXPECT_EQ(bench.record().RcvPassCount, 4U);
}

// ---------------------------------------------------------------------------
// Headers the pass cannot use.

struct RejectRow {
  std::string name;
  std::uint8_t status;
  int count;  // -1: the true count
  std::size_t length;
};

class ReceiveRejected : public ::testing::TestWithParam<RejectRow> {};

TEST_P(ReceiveRejected, AbandonsTheRingUpToCurrAndReceivesAfterwards) {
  const RejectRow& row = GetParam();
  ReceiveBench bench;
  const std::uint8_t start = 0x60;
  bench.readFrom(start);
  const std::vector<std::uint8_t> good = bench.frame(100, 1);
  std::uint8_t page = bench.nic().storeFrame(start, good);
  page = bench.nic().storeFrame(page, bench.frame(row.length, 2), row.status, row.count);
  // A frame behind the bad one goes with it.
  page = bench.nic().storeFrame(page, bench.frame(200, 3));
  bench.received(page);

  ASSERT_EQ(bench.delivered(), std::vector<std::vector<std::uint8_t>>{good});
  EXPECT_EQ(bench.record().NextPacketPage, page);
  EXPECT_EQ(bench.nic().card().controller().bnry(), page - 1);

  const std::vector<std::uint8_t> later = bench.frame(300, 4);
  bench.received(bench.nic().storeFrame(page, later));
  ASSERT_EQ(bench.protocol().frames.size(), 2U);
  EXPECT_EQ(bench.protocol().frames[1].bytes, later);
}

INSTANTIATE_TEST_SUITE_P(Headers, ReceiveRejected,
                         ::testing::Values(RejectRow{"Count63", 0x01, 63, 59},
                                           RejectRow{"Count1519", 0x01, 1519, 1515},
                                           RejectRow{"CountZero", 0x01, 0, 100}),
                         [](const auto& test) { return test.param.name; });

// A CURR outside the ring, as a controller that lost its setup reports it,
// gives the pass no end to read to: it takes nothing and the read pointer
// stays, and once CURR is sound again the waiting frame comes up once.
class ReceiveWildCurr : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(ReceiveWildCurr, TakesNothingUntilCurrIsBackInTheRing) {
  ReceiveBench bench;
  bench.readFrom(0x60);
  const std::vector<std::uint8_t> first = bench.frame(300, 6);
  const std::uint8_t page = bench.nic().storeFrame(0x60, first);
  bench.received(page);
  const std::vector<std::uint8_t> second = bench.frame(400, 7);
  const std::uint8_t curr = bench.nic().storeFrame(page, second);
  bench.received(GetParam());
  EXPECT_EQ(bench.delivered().size(), 1U);
  EXPECT_EQ(bench.record().NextPacketPage, page);

  bench.received(curr);
  EXPECT_EQ(bench.delivered(), (std::vector<std::vector<std::uint8_t>>{first, second}));
}

INSTANTIATE_TEST_SUITE_P(Pages, ReceiveWildCurr,
                         ::testing::Values(std::uint8_t{kRingFirst - 1}, kRingStop,
                                           std::uint8_t{0xFF}),
                         [](const auto& test) { return "Curr" + std::to_string(test.param); });

struct LimitRow {
  std::string name;
  std::size_t length;
};

class ReceiveLimits : public ::testing::TestWithParam<LimitRow> {};

TEST_P(ReceiveLimits, AcceptsCounts64And1518) {
  ReceiveBench bench;
  bench.readFrom(0x70);
  const std::vector<std::uint8_t> frame = bench.frame(GetParam().length, 9);
  bench.received(bench.nic().storeFrame(0x70, frame));
  EXPECT_EQ(bench.delivered(), std::vector<std::vector<std::uint8_t>>{frame});
}

INSTANTIATE_TEST_SUITE_P(Counts, ReceiveLimits,
                         ::testing::Values(LimitRow{"Count64", 60}, LimitRow{"Count1518", 1514}),
                         [](const auto& test) { return test.param.name; });

// The controller can repeat the count's low byte in its high byte; the pages
// to the next header give the high byte back.
TEST(ReceiveRepair, RepeatedCountByteIsRepairedFromTheNextPage) {
  ReceiveBench bench;
  bench.readFrom(0x50);
  const std::vector<std::uint8_t> frame = bench.frame(1340, 5);
  const std::uint8_t next = bench.nic().storeFrame(0x50, frame, 0x01, 0x4040);
  ASSERT_EQ(next, 0x56);
  bench.received(next);

  ASSERT_EQ(bench.protocol().frames.size(), 1U);
  EXPECT_EQ(bench.protocol().frames[0].packetSize, 1326U);
  EXPECT_EQ(bench.protocol().frames[0].bytes, frame);
  EXPECT_EQ(bench.record().RxHeaderLenHi, 0x05);
}

// ---------------------------------------------------------------------------
// Lookahead sizes and transfer-data bounds.

struct LookaheadRow {
  std::string name;
  ULONG lookahead;
  std::size_t length;
  std::size_t shown;
};

class ReceiveLookahead : public ::testing::TestWithParam<LookaheadRow> {};

TEST_P(ReceiveLookahead, ShowsAtMostTheLookaheadAfterTheHeader) {
  const LookaheadRow& row = GetParam();
  ReceiveBench bench;
  bench.record().Lookahead = row.lookahead;
  bench.readFrom(0x60);
  const std::vector<std::uint8_t> frame = bench.frame(row.length, 6);
  bench.received(bench.nic().storeFrame(0x60, frame));

  ASSERT_EQ(bench.protocol().frames.size(), 1U);
  const DatapathProtocol::Frame& got = bench.protocol().frames[0];
  EXPECT_EQ(got.lookahead.size(), row.shown);
  EXPECT_EQ(got.packetSize, row.length - 14);
  EXPECT_EQ(got.bytes, frame);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReceiveLookahead,
                         ::testing::Values(LookaheadRow{"ShortFrameWhole", 238, 60, 46},
                                           LookaheadRow{"LongFrame100", 100, 1514, 100},
                                           LookaheadRow{"LongFrame238", 238, 1514, 238},
                                           LookaheadRow{"ExactlyTheLookahead", 238, 252, 238},
                                           LookaheadRow{"NoLookahead", 0, 300, 0}),
                         [](const auto& test) { return test.param.name; });

struct TransferRow {
  std::string name;
  std::uint8_t page;
  UINT offset;
  UINT length;
  NDIS_STATUS status;
  UINT transferred;
  // The card leaves its socket at this remote-DMA set-up of the transfer
  // (counted from 1; 0: it stays). The failed read is logged.
  unsigned cardGoneAt = 0;
  // The lengths of the destination packet's buffers, in chain order.
  std::vector<std::size_t> buffers = {2048};
};

class ReceiveTransfer : public ::testing::TestWithParam<TransferRow> {};

TEST_P(ReceiveTransfer, CopiesWithinTheFrameOnly) {
  const TransferRow& row = GetParam();
  ReceiveBench bench;
  bench.readFrom(row.page);
  const std::vector<std::uint8_t> frame = bench.frame(1514, 7);
  NDIS_STATUS status = NDIS_STATUS_PENDING;
  UINT transferred = 0xFFFF;
  std::vector<std::uint8_t> copied;
  sim::card::Card& card = bench.nic().card();
  bench.protocol().onReceive = [&](sim::MiniportAdapter& adapter, DatapathProtocol::Frame&) {
    std::vector<std::vector<std::uint8_t>> pieces;
    for (const std::size_t length : row.buffers) {
      pieces.emplace_back(length);
    }
    const auto packet = sim::Packet::fromPieces(pieces);
    unsigned setups = 0;
    bench.nic().interposer().setHook([&](std::uint64_t, std::uint16_t offset, sim::Direction d) {
      if (offset == port::RSAR0 && d == sim::Direction::Write && ++setups == row.cardGoneAt) {
        card.faults().removed = true;
      }
    });
    status = adapter.transferData(packet->ndis(), row.offset, row.length, transferred);
    bench.nic().interposer().clearHook();
    card.faults().removed = false;
    copied = packet->bytes();
  };
  bench.received(bench.nic().storeFrame(row.page, frame));

  EXPECT_EQ(status, row.status);
  const std::vector<sim::ErrorLogEntry> failure = {
      {bench.nic().host().handle(), NDIS_ERROR_CODE_HARDWARE_FAILURE, {2}}};
  EXPECT_EQ(sim::Machine::current().errorLog(),
            row.cardGoneAt != 0 ? failure : std::vector<sim::ErrorLogEntry>{});
  ASSERT_EQ(transferred, row.transferred);
  const auto from = frame.begin() + 14 + std::min<std::ptrdiff_t>(row.offset, 1500);
  EXPECT_TRUE(std::equal(from, from + transferred, copied.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, ReceiveTransfer,
    ::testing::Values(
        TransferRow{"ClippedAtTheFramesEnd", 0x60, 0, 2000, NDIS_STATUS_SUCCESS, 1500},
        TransferRow{"MiddleToTheEnd", 0x60, 1000, 600, NDIS_STATUS_SUCCESS, 500},
        TransferRow{"AtTheEndNothing", 0x60, 1500, 10, NDIS_STATUS_SUCCESS, 0},
        TransferRow{"BeyondTheEndFails", 0x60, 1501, 10, NDIS_STATUS_FAILURE, 0},
        TransferRow{"AcrossTheRingsEnd", kRingStop - 3, 0, 2000, NDIS_STATUS_SUCCESS, 1500},
        TransferRow{"StartingPastTheRingsEnd", kRingStop - 3, 900, 400, NDIS_STATUS_SUCCESS, 400},
        TransferRow{"CardGoneFails", 0x60, 0, 2000, NDIS_STATUS_FAILURE, 0, 1},
        // Up to the ring's end, 750 bytes, came before the card left.
        TransferRow{"CardGoneAtTheRingsEndKeepsWhatCame", kRingStop - 3, 0, 2000,
                    NDIS_STATUS_FAILURE, 750, 2},
        TransferRow{"AcrossAChain", 0x60, 0, 2000, NDIS_STATUS_SUCCESS, 1500, 0, {100, 1, 0, 2048}},
        TransferRow{"IntoTooShortAChain", 0x60, 0, 2000, NDIS_STATUS_SUCCESS, 700, 0, {200, 500}},
        TransferRow{"IntoAPacketWithoutBuffers", 0x60, 0, 2000, NDIS_STATUS_SUCCESS, 0, 0, {}}),
    [](const auto& test) { return test.param.name; });

// The card leaves its socket as the pass reads the frame's lookahead: nothing
// is indicated and the read pointer stays, so that once the card is back the
// frame comes up whole.
TEST(ReceiveCardGone, AtTheLookaheadReadTheFrameWaitsForTheCard) {
  ReceiveBench bench;
  constexpr std::uint8_t kPage = 0x60;
  bench.readFrom(kPage);
  const std::vector<std::uint8_t> frame = bench.frame(300, 5);
  const std::uint8_t curr = bench.nic().storeFrame(kPage, frame);
  sim::card::Card& card = bench.nic().card();
  unsigned setups = 0;
  bench.nic().interposer().setHook([&](std::uint64_t, std::uint16_t offset, sim::Direction d) {
    if (offset == port::RSAR0 && d == sim::Direction::Write && ++setups == 2) {
      card.faults().removed = true;
    }
  });
  bench.received(curr);
  EXPECT_TRUE(bench.delivered().empty());
  EXPECT_EQ(bench.record().NextPacketPage, kPage);

  bench.nic().interposer().clearHook();
  card.faults().removed = false;
  sim::Machine::current().processor().atDeviceLevel(
      [&] { MiniportEnableInterrupt(&bench.record()); });
  bench.received(curr);
  EXPECT_EQ(bench.delivered(), std::vector<std::vector<std::uint8_t>>{frame});
  EXPECT_TRUE(sim::Machine::current().errorLog().empty());
}

// ---------------------------------------------------------------------------
// A transmission that ends while a protocol copies a frame.

struct EarlyRow {
  std::string name;
  std::size_t packets;  // sent before the frame arrives; the first is on the wire
  bool aborts = false;  // the first transmission aborts instead
};

class TransferCompletesTransmit : public ::testing::TestWithParam<EarlyRow> {};

TEST_P(TransferCompletesTransmit, StartsTheNextWaitingBufferOrLeavesPtxForTheHandler) {
  const EarlyRow& row = GetParam();
  ReceiveBench bench;
  bench.nic().card().faults().transmitAborts = row.aborts ? 1 : 0;
  std::vector<std::unique_ptr<sim::Packet>> packets;
  for (std::size_t i = 0; i < row.packets; ++i) {
    packets.push_back(sim::Packet::fromBytes(
        PatternFrame(1000, kPeer, bench.nic().placement().station, static_cast<std::uint32_t>(i))));
    ASSERT_EQ(bench.nic().send(*packets.back()), NDIS_STATUS_PENDING);
  }
  const std::uint8_t firstPage = bench.nic().card().controller().tpsr();
  const std::vector<std::uint8_t> frame = bench.frame(600, 8);

  bool busyAfter = false;
  std::uint8_t pageAfter = 0;
  UCHAR workAfter = 0;
  Adapter recordAfter{};
  bench.protocol().onReceive = [&](sim::MiniportAdapter& adapter, DatapathProtocol::Frame& got) {
    // The protocol takes its time; the frame on the wire finishes meanwhile.
    sim::Machine& machine = sim::Machine::current();
    machine.runFor(200us);
    const auto rest = sim::Packet::withSpace(got.packetSize - got.lookahead.size());
    UINT transferred = 0;
    got.transferStatus =
        adapter.transferData(rest->ndis(), static_cast<UINT>(got.lookahead.size()),
                             got.packetSize - static_cast<UINT>(got.lookahead.size()), transferred);
    const std::vector<std::uint8_t> bytes = rest->bytes();
    got.bytes.insert(got.bytes.end(), bytes.begin(), bytes.begin() + transferred);
    busyAfter = bench.nic().card().controller().transmitter().busy();
    pageAfter = bench.nic().card().controller().tpsr();
    workAfter = bench.record().IsrAccum;
    recordAfter = bench.record();
  };
  bench.readFrom(bench.record().NextPacketPage);
  bench.received(bench.nic().storeFrame(bench.record().NextPacketPage, frame));

  ASSERT_EQ(bench.protocol().frames.size(), 1U);
  EXPECT_EQ(bench.protocol().frames[0].bytes, frame);
  // The first frame took buffers 0-3, the second 4-7.
  if (row.aborts) {
    EXPECT_TRUE(busyAfter) << "the aborted frame was not sent again from within the copy";
    EXPECT_EQ(pageAfter, firstPage);
    EXPECT_EQ(workAfter & 0x08, 0);
    EXPECT_EQ(bench.nic().card().controller().isr() & 0x08, 0) << "the abort was not acknowledged";
    EXPECT_EQ(recordAfter.CurrentTx, 0);
  } else if (row.packets > 1) {
    EXPECT_TRUE(busyAfter) << "the waiting buffer was not started";
    EXPECT_EQ(pageAfter, firstPage + 4) << "started another buffer than the next";
    EXPECT_EQ(workAfter & 0x02, 0) << "the completion was left for the handler as well";
    EXPECT_EQ(recordAfter.CurrentTx, 4);
    EXPECT_EQ(recordAfter.NextTxSend, 4U);
    EXPECT_EQ(recordAfter.TxPending, TRUE);
    EXPECT_EQ(recordAfter.TxGoodCount, 1U);
    EXPECT_EQ(std::vector<ULONG>(recordAfter.TxBufferState, recordAfter.TxBufferState + 8),
              (std::vector<ULONG>{0, 0, 0, 0, 2, 2, 2, 2}));
  } else {
    EXPECT_FALSE(busyAfter);
    EXPECT_NE(workAfter & 0x02, 0) << "the completion was not left for the handler";
    EXPECT_EQ(recordAfter.CurrentTx, 0) << "the finished frame was retired early";
    EXPECT_EQ(recordAfter.TxGoodCount, 0U);
    EXPECT_EQ(recordAfter.TxBufferState[0], 2U);
  }
  // Either way each frame is counted once when it has gone.
  sim::Machine::current().runFor(2ms);
  EXPECT_EQ(bench.record().TxGoodCount, row.packets);
  EXPECT_EQ(bench.record().CurrentTx, -1);
}

INSTANTIATE_TEST_SUITE_P(Waiting, TransferCompletesTransmit,
                         ::testing::Values(EarlyRow{"NextBufferFull", 2},
                                           EarlyRow{"NothingWaiting", 1},
                                           EarlyRow{"AbortedWhileCopying", 1, true}),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// The checks made after every handler, each shown firing on a receive side
// that a handler left broken.

struct BrokenRow {
  std::string name;
  std::function<void(Adapter&)> breaks;  // runs as a handler
  std::string fault;
};

void PrintTo(const BrokenRow& row, std::ostream* out) { *out << row.name; }

class AfterHandlerCheck : public ::testing::TestWithParam<BrokenRow> {};

TEST_P(AfterHandlerCheck, FiresOnAReceiveSideLeftBroken) {
  ReceiveBench bench;
  std::vector<std::string> broken;
  sim::Machine::current().onViolation([&](const std::string& what) { broken.push_back(what); });
  bench.nic().atDispatch([&] { GetParam().breaks(bench.record()); });
  ASSERT_EQ(broken.size(), 1U);
  EXPECT_EQ(broken[0], "the receive ring is inconsistent: " + GetParam().fault);
}

INSTANTIATE_TEST_SUITE_P(
    Invariants, AfterHandlerCheck,
    ::testing::Values(
        BrokenRow{"NextPageOutsideTheRing", [](Adapter& a) { a.NextPacketPage = kRingStop; },
                  "NextPacketPage 0x80 lies outside the ring 0x4C-0x7F"},
        BrokenRow{"BoundaryNotBehindTheNextPage", [](Adapter& a) { a.NextPacketPage = kRingFirst; },
                  "BNRY is 0x4C, not 0x7F, one page behind NextPacketPage 0x4C"},
        BrokenRow{"PageOneAtRest",
                  [](Adapter& a) { WRITE_PORT_UCHAR(a.IoPort, 0x62); },  // page 1, STA
                  "register page 1 is selected at rest"},
        BrokenRow{"OverflowPending", [](Adapter& a) { a.Overflowed = TRUE; },
                  "an overflow recovery was left unfinished"}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
