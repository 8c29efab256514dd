// The transmit path against the card model: what lands in the transmit
// buffers, where the ring places each packet, when packets are completed, and
// that a send survives an interrupt between any two of its port accesses.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "datapath/transmit.h"
#include "tests/driver/datapath_bench.h"

namespace kl::test {
namespace {

using sim::card::BusWidth;

constexpr std::array<std::uint8_t, 6> kPeer = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
constexpr std::uint8_t kUntouched = 0xEE;

std::string WidthName(BusWidth width) { return width == BusWidth::Byte ? "Byte" : "Word"; }

class TransmitBench {
 public:
  explicit TransmitBench(BusWidth width, ULONG cardType = 0)
      : bench_(AdapterPlacement{.width = width, .cardType = cardType}) {
    for (std::uint32_t a = 0x4000; a < 0x4C00; ++a) {
      nic().card().memory().write(a, kUntouched);
    }
  }

  HandBuiltAdapter& nic() { return bench_.nic(); }
  Adapter& record() { return *bench_.adapter(); }
  sim::Machine& machine() { return bench_.machine(); }

  // Sends a patterned frame; the packet stays alive until the bench goes.
  sim::Packet& send(std::size_t length, std::uint32_t seed = 1) {
    return send(sim::Packet::fromBytes(frame(length, seed)));
  }
  sim::Packet& send(std::unique_ptr<sim::Packet> packet) {
    packets_.push_back(std::move(packet));
    EXPECT_EQ(nic().send(*packets_.back()), NDIS_STATUS_PENDING);
    return *packets_.back();
  }
  std::vector<std::uint8_t> frame(std::size_t length, std::uint32_t seed) {
    return PatternFrame(length, kPeer, nic().placement().station, seed);
  }

  std::vector<std::uint8_t> buffer(ULONG index, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    nic().card().memory().read(0x4000 + index * 256, bytes);
    return bytes;
  }

  // Puts a packet of `length` bytes on the card by hand, as if copied there.
  void occupy(ULONG first, ULONG length) {
    record().TxBufferLength[first] = length;
    for (ULONG i = first; i < first + TxBuffersFor(length); ++i) {
      record().TxBufferState[i] = kTxBufferFull;
    }
  }

  // The transmission of CurrentTx ends as the interrupt handler would end it.
  void completeCurrent(std::uint8_t tsr = 0x01) {
    nic().card().controller().setTsr(tsr);
    nic().atDispatch([&] { TransmitComplete(&record()); });
  }

 private:
  DatapathBench bench_;
  std::vector<std::unique_ptr<sim::Packet>> packets_;
};

// ---------------------------------------------------------------------------
// What one packet leaves on the card.

struct LengthRow {
  std::size_t length;
  ULONG buffers;
};

class TransmitLayout : public ::testing::TestWithParam<std::tuple<BusWidth, LengthRow>> {};

TEST_P(TransmitLayout, CopiesPadsWithSpacesAndStartsTheIdleTransmitter) {
  const auto [width, row] = GetParam();
  TransmitBench bench(width);
  bench.nic().card().controller().setTsr(0x00);

  bench.send(row.length);

  // Completed, once, before MiniportSend returned.
  ASSERT_EQ(bench.nic().protocol.completions.size(), 1u);
  EXPECT_EQ(bench.nic().protocol.completions[0].status, NDIS_STATUS_SUCCESS);
  std::vector<std::uint8_t> expected = bench.frame(row.length, 1);
  expected.resize(std::max<std::size_t>(row.length, 60), 0x20);
  EXPECT_EQ(bench.buffer(0, expected.size()), expected);
  const std::size_t after = expected.size();
  if (after % 256 != 0 || after == 0) {
    EXPECT_EQ(bench.buffer(0, after + 1).back(), kUntouched) << "wrote past the frame";
  }

  Adapter& a = bench.record();
  EXPECT_EQ(a.TxBufferLength[0], row.length);
  for (ULONG i = 0; i < kTxBufferCount; ++i) {
    EXPECT_EQ(a.TxBufferState[i], i < row.buffers ? kTxBufferFull : kTxBufferEmpty) << i;
  }
  EXPECT_EQ(a.NextTxFill, row.buffers);
  EXPECT_EQ(a.CurrentTx, 0);
  EXPECT_EQ(a.TxPending, TRUE);
  EXPECT_EQ(bench.nic().card().controller().tpsr(), 0x40);
  EXPECT_EQ(bench.nic().card().controller().transmitByteCount(), after);
}

INSTANTIATE_TEST_SUITE_P(Lengths, TransmitLayout,
                         ::testing::Combine(::testing::Values(BusWidth::Byte, BusWidth::Word),
                                            ::testing::Values(LengthRow{1, 1}, LengthRow{14, 1},
                                                              LengthRow{59, 1}, LengthRow{60, 1},
                                                              LengthRow{61, 1}, LengthRow{256, 1},
                                                              LengthRow{257, 2}, LengthRow{1513, 6},
                                                              LengthRow{1514, 6})),
                         [](const auto& test) {
                           return WidthName(std::get<0>(test.param)) +
                                  std::to_string(std::get<1>(test.param).length);
                         });

// ---------------------------------------------------------------------------
// Where the ring places a packet.

struct RingRow {
  std::string name;
  LONG current;  // -1 idle
  ULONG fill;
  ULONG send;
  std::vector<std::pair<ULONG, ULONG>> onCard;  // first buffer, length
  std::size_t length;
  LONG placedAt;  // -1: waits in the queue
  ULONG fillAfter;
  ULONG sendAfter;
  LONG currentAfter;
};

class TransmitRing : public ::testing::TestWithParam<RingRow> {};

TEST_P(TransmitRing, PlacesThePacketOrLeavesItQueued) {
  const RingRow& row = GetParam();
  TransmitBench bench(BusWidth::Word);
  Adapter& a = bench.record();
  a.CurrentTx = row.current;
  a.NextTxFill = row.fill;
  a.NextTxSend = row.send;
  for (const auto& [first, length] : row.onCard) {
    bench.occupy(first, length);
  }

  bench.send(row.length);

  const auto& completions = bench.nic().protocol.completions;
  if (row.placedAt < 0) {
    EXPECT_TRUE(completions.empty()) << "a packet that does not fit was completed";
    EXPECT_NE(a.SendQueueHead, nullptr);
  } else {
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(bench.buffer(static_cast<ULONG>(row.placedAt), row.length),
              bench.frame(row.length, 1));
    EXPECT_EQ(a.TxBufferLength[row.placedAt], row.length);
    EXPECT_EQ(a.SendQueueHead, nullptr);
    EXPECT_EQ(a.SendQueueTail, nullptr);
  }
  EXPECT_EQ(a.NextTxFill, row.fillAfter);
  EXPECT_EQ(a.NextTxSend, row.sendAfter);
  EXPECT_EQ(a.CurrentTx, row.currentAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransmitRing,
    ::testing::Values(
        RingRow{"FitsAtTheEndAndFillWraps", 4, 10, 4, {{4, 1514}}, 300, 10, 0, 4, 4},
        RingRow{"DoesNotFitBeforeTheOneBeingSent",
                11,
                10,
                11,
                {{11, 100}, {0, 1514}, {6, 1000}},
                300,
                -1,
                10,
                11,
                11},
        RingRow{"RestartsAtZeroWhenTheEndIsTooShort", 5, 9, 5, {{5, 1000}}, 1000, 0, 4, 5, 5},
        RingRow{"RestartAtZeroStillTooSmall", 2, 9, 2, {{2, 1000}, {6, 700}}, 1000, -1, 0, 2, 2},
        RingRow{"IdleEmptyRingAtTheEndSkipsToZero", -1, 11, 11, {}, 300, 0, 2, 0, 0},
        RingRow{"IdleEmptyRingFitsInPlace", -1, 7, 7, {}, 1000, 7, 11, 7, 7},
        RingRow{"LastBufferExactlyWrapsFill", 0, 11, 0, {{0, 1514}, {6, 1200}}, 100, 11, 0, 0, 0},
        // The ring's exact-full boundary: a packet that ends at the buffer
        // being sent, before and after the fill side goes back to 0, and one
        // more once every buffer is full.
        RingRow{"FillsUpToTheOneBeingSent", 6, 0, 6, {{6, 1514}}, 1514, 0, 6, 6, 6},
        RingRow{"GoesBackToZeroAndFillsUpToTheOneBeingSent",
                3,
                10,
                3,
                {{3, 1514}, {9, 256}},
                700,
                0,
                3,
                3,
                3},
        RingRow{"OneMoreThanAFullRing", 3, 3, 3, {{3, 1514}, {9, 700}, {0, 700}}, 60, -1, 3, 3, 3}),
    [](const auto& test) { return test.param.name; });

TEST(TransmitRing, SendSideFollowsTheFillSideToZero) {
  TransmitBench bench(BusWidth::Word);
  Adapter& a = bench.record();
  a.CurrentTx = 5;
  a.NextTxSend = 5;
  a.NextTxFill = 9;
  bench.occupy(5, 1000);
  bench.send(1000);  // into buffers 0..3
  ASSERT_EQ(a.NextTxFill, 4u);

  bench.completeCurrent();

  EXPECT_EQ(a.NextTxSend, 0u) << "buffer 9 was skipped by the fill side";
  EXPECT_EQ(a.CurrentTx, 0);
  EXPECT_EQ(bench.nic().card().controller().tpsr(), 0x40);
  EXPECT_EQ(bench.nic().card().controller().transmitByteCount(), 1000);
  for (ULONG i = 4; i < kTxBufferCount; ++i) {
    EXPECT_EQ(a.TxBufferState[i], kTxBufferEmpty) << i;
  }
  EXPECT_EQ(a.TxGoodCount, 1u);
}

TEST(TransmitRing, QueuedPacketIsCompletedOnlyOnceACompletionMakesRoom) {
  TransmitBench bench(BusWidth::Byte);
  Adapter& a = bench.record();
  a.CurrentTx = 11;
  a.NextTxSend = 11;
  a.NextTxFill = 10;
  bench.occupy(11, 100);
  bench.occupy(0, 1514);
  bench.occupy(6, 1000);
  sim::Packet& waiting = bench.send(300);
  sim::Packet& behind = bench.send(60, 2);
  ASSERT_TRUE(bench.nic().protocol.completions.empty());

  // Buffer 11 is sent; sending goes on at buffer 0, and 10-11 are free.
  bench.completeCurrent(0x00);

  const auto& completions = bench.nic().protocol.completions;
  ASSERT_EQ(completions.size(), 1u) << "the packet behind jumped the queue or none moved";
  EXPECT_EQ(completions[0].packet, &waiting.ndis());
  EXPECT_EQ(bench.buffer(10, 300), bench.frame(300, 1));
  EXPECT_EQ(a.CurrentTx, 0);
  EXPECT_EQ(a.TxBadCount, 1u);
  EXPECT_EQ(a.SendQueueHead, &behind.ndis());
}

TEST(TransmitRing, CompletionWithNothingWaitingGoesIdleAndCountsTheResult) {
  TransmitBench bench(BusWidth::Word);
  bench.send(100);
  bench.completeCurrent(0x01);
  Adapter& a = bench.record();
  EXPECT_EQ(a.CurrentTx, -1);
  EXPECT_EQ(a.NextTxSend, 1u);
  EXPECT_EQ(a.NextTxFill, 1u);
  EXPECT_EQ(a.TxBufferState[0], kTxBufferEmpty);
  EXPECT_EQ(a.TxGoodCount, 1u);
  EXPECT_EQ(a.TxBadCount, 0u);

  // The next packet goes where the last one ended and starts at once.
  bench.send(100, 2);
  EXPECT_EQ(a.CurrentTx, 1);
  EXPECT_EQ(bench.nic().card().controller().tpsr(), 0x41);
}

// ---------------------------------------------------------------------------
// Packets the ring cannot take.

struct RefusedRow {
  std::string name;
  std::vector<std::vector<std::uint8_t>> pieces;
};

class TransmitRefused : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(TransmitRefused, IsCompletedAsAFailureAtOnceWithoutTouchingTheCard) {
  TransmitBench bench(BusWidth::Word);
  Adapter& a = bench.record();
  // Every buffer full, the frame being sent at buffer 3: the queue is blocked.
  a.CurrentTx = 3;
  a.NextTxSend = 3;
  a.NextTxFill = 3;
  bench.occupy(3, 1514);
  bench.occupy(9, 700);
  bench.occupy(0, 700);
  sim::Packet& blocked = bench.send(100);
  auto& bus = bench.nic().interposer();
  const std::uint64_t accessesBefore = bus.accesses();

  sim::Packet& refused = bench.send(sim::Packet::fromPieces(GetParam().pieces));

  const auto& completions = bench.nic().protocol.completions;
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].packet, &refused.ndis());
  EXPECT_EQ(completions[0].status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(bus.accesses(), accessesBefore);
  EXPECT_EQ(a.SendQueueHead, &blocked.ndis());
  EXPECT_EQ(a.SendQueueTail, &blocked.ndis());
  EXPECT_EQ(a.NextTxFill, 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, TransmitRefused,
    ::testing::Values(RefusedRow{"Empty", {}}, RefusedRow{"OnlyEmptyBuffers", {{}, {}, {}}},
                      RefusedRow{"OneByteTooLong", {std::vector<std::uint8_t>(1515, 0x11)}},
                      RefusedRow{"LongerThanTheRing",
                                 {std::vector<std::uint8_t>(2000, 0x11),
                                  std::vector<std::uint8_t>(2000, 0x22)}}),
    [](const auto& test) { return test.param.name; });

// The card's remote-DMA address stops moving from one of the send's
// remote-DMA set-ups on: at the copy's (logged with the address), or at the
// padding's of a short frame.
struct FrozenRow {
  std::string name;
  std::size_t length;
  unsigned frozenFromSetup;
  std::vector<ULONG> logged;  // the error log entry's values; none when empty
};

class TransmitFrozen : public ::testing::TestWithParam<FrozenRow> {};

TEST_P(TransmitFrozen, FailsThatPacketAndTriesTheNext) {
  const FrozenRow& row = GetParam();
  TransmitBench bench(BusWidth::Word);
  Adapter& a = bench.record();
  a.NextTxFill = 4;
  a.NextTxSend = 4;
  sim::card::Card& card = bench.nic().card();
  unsigned setups = 0;
  bench.nic().interposer().setHook([&](std::uint64_t, std::uint16_t offset, sim::Direction d) {
    if (offset == port::RSAR0 && d == sim::Direction::Write && ++setups == row.frozenFromSetup) {
      card.faults().crdaFrozen = true;
    }
  });

  bench.send(row.length);

  const auto& completions = bench.nic().protocol.completions;
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.NextTxFill, 4u);
  EXPECT_EQ(a.CurrentTx, -1);
  for (const ULONG state : a.TxBufferState) {
    EXPECT_EQ(state, kTxBufferEmpty);
  }
  const std::vector<sim::ErrorLogEntry> logged =
      row.logged.empty()
          ? std::vector<sim::ErrorLogEntry>{}
          : std::vector<sim::ErrorLogEntry>{{a.MiniportHandle, 0xC000138A, row.logged}};
  EXPECT_EQ(bench.machine().errorLog(), logged);

  bench.nic().interposer().clearHook();
  card.faults().crdaFrozen = false;
  bench.send(500, 2);
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_EQ(completions[1].status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bench.buffer(4, 500), bench.frame(500, 2));
  EXPECT_EQ(a.CurrentTx, 4);
}

INSTANTIATE_TEST_SUITE_P(Setups, TransmitFrozen,
                         ::testing::Values(FrozenRow{"AtTheCopy", 500, 1, {1, 0x4400}},
                                           FrozenRow{"AtThePadding", 50, 3, {}}),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// An interrupt between any two port accesses of a send: the interrupt
// routine's vendor-register write lands between the remote-DMA set-up's
// writes of RBCR0 and RBCR1 at one of these points, and must not be taken for
// the byte count.

class SendInterrupted : public ::testing::TestWithParam<std::tuple<BusWidth, std::size_t>> {};

TEST_P(SendInterrupted, LandsTheFrameIntactWhereverTheInterruptComes) {
  const auto [width, length] = GetParam();
  std::uint64_t accessesOfASend = 0;
  {
    TransmitBench bench(width);
    const std::uint64_t before = bench.nic().interposer().accesses();
    bench.send(length);
    accessesOfASend = bench.nic().interposer().accesses() - before;
  }
  ASSERT_GT(accessesOfASend, 20u);

  for (std::uint64_t at = 1; at < accessesOfASend; ++at) {
    SCOPED_TRACE("interrupt after access " + std::to_string(at));
    TransmitBench bench(width);
    bool taken = false;
    // Raised just before access `at`, the event is seen right after it.
    bench.nic().interposer().setHook([&](std::uint64_t access, std::uint16_t, sim::Direction) {
      if (access + 1 == at && !taken) {
        taken = true;
        bench.nic().card().raisePhyEvent();
      }
    });

    bench.send(length);

    ASSERT_TRUE(taken);
    ASSERT_EQ(bench.nic().protocol.completions.size(), 1u);
    EXPECT_EQ(bench.nic().protocol.completions[0].status, NDIS_STATUS_SUCCESS);
    std::vector<std::uint8_t> expected = bench.frame(length, 1);
    expected.resize(std::max<std::size_t>(length, 60), 0x20);
    EXPECT_EQ(bench.buffer(0, expected.size()), expected);
    EXPECT_EQ(bench.nic().card().controller().tpsr(), 0x40);
    EXPECT_EQ(bench.nic().card().controller().transmitByteCount(), expected.size());
    // The interrupt was serviced and the card unmasked again.
    EXPECT_EQ(bench.nic().card().vendor().read() & 0x03, 0x01);
    EXPECT_EQ(bench.nic().card().controller().imr(), 0x1B);
  }
}

INSTANTIATE_TEST_SUITE_P(Sends, SendInterrupted,
                         ::testing::Combine(::testing::Values(BusWidth::Byte, BusWidth::Word),
                                            ::testing::Values(std::size_t{41}, std::size_t{1514})),
                         [](const auto& test) {
                           return WidthName(std::get<0>(test.param)) +
                                  std::to_string(std::get<1>(test.param));
                         });

}  // namespace
}  // namespace kl::test
