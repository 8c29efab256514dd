// The interrupt handler against the card model: in which order it serves
// causes the card reports together, and a PHY event with no status bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/driver/datapath_bench.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;

constexpr std::array<std::uint8_t, 6> kPeer = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
constexpr std::uint8_t kSelectPage1 = 0x62;  // CR: page 1, start, abort remote DMA
constexpr std::uint8_t kStop = 0x21;         // CR: page 0, stop, abort remote DMA

// Where `access` first appears in `trace`, or the trace's length.
std::size_t FirstOf(const std::vector<Access>& trace, const Access& access) {
  return static_cast<std::size_t>(std::find(trace.begin(), trace.end(), access) - trace.begin());
}
std::size_t FirstRead(const std::vector<Access>& trace, std::uint16_t offset) {
  return static_cast<std::size_t>(std::find_if(trace.begin(), trace.end(),
                                               [&](const Access& a) {
                                                 return a.direction == sim::Direction::Read &&
                                                        a.offset == offset && a.width == 1;
                                               }) -
                                  trace.begin());
}

// A frame sent and a frame waiting in the ring, and the card's status bits
// `isr` all seen by the one interrupt the handler serves.
class TogetherBench {
 public:
  explicit TogetherBench(std::uint8_t isr) {
    HandBuiltAdapter& nic = bench_.nic();
    Adapter& record = *bench_.adapter();
    packet_ = sim::Packet::fromBytes(PatternFrame(60, kPeer, nic.placement().station, 1));
    frame_ = PatternFrame(200, nic.placement().station, kPeer, 2);
    EXPECT_EQ(nic.send(*packet_), NDIS_STATUS_PENDING);
    nic.atDispatch([&] {
      // The frame leaves while the processor is busy elsewhere; the card's
      // interrupt is taken and masked, its service waits.
      bench_.machine().runFor(100us);
      nic.setCurr(nic.storeFrame(record.NextPacketPage, frame_));
      nic.card().controller().setIsrBits(isr);
      bench_.machine().bus().clearTrace();
      bench_.machine().bus().startTrace();
    });
    bench_.machine().bus().stopTrace();
    trace_ = Observed(bench_.machine().bus());
  }

  [[nodiscard]] const std::vector<Access>& trace() const { return trace_; }
  [[nodiscard]] Adapter& record() { return *bench_.adapter(); }
  [[nodiscard]] HandBuiltAdapter& nic() { return bench_.nic(); }
  [[nodiscard]] const std::vector<std::uint8_t>& frame() const { return frame_; }

 private:
  DatapathBench bench_;
  std::unique_ptr<sim::Packet> packet_;
  std::vector<std::uint8_t> frame_;
  std::vector<Access> trace_;
};

TEST(InterruptOnTheCard, ReceivedAndTransmittedServesTheTransmitFirst) {
  TogetherBench bench(0x01);  // PRX beside the PTX the card raised itself

  const std::vector<Access>& trace = bench.trace();
  const std::size_t status = FirstRead(trace, port::TSR);
  const std::size_t pass = FirstOf(trace, Wr(port::CR, kSelectPage1));
  ASSERT_LT(status, trace.size());
  ASSERT_LT(pass, trace.size());
  EXPECT_LT(status, pass) << "the receive pass ran before the transmit step";
  EXPECT_EQ(bench.record().CurrentTx, -1);
  EXPECT_EQ(bench.record().TxGoodCount, 1U);
  ASSERT_EQ(bench.nic().protocol.frames.size(), 1U);
  EXPECT_EQ(bench.nic().protocol.frames[0].bytes, bench.frame());
}

TEST(InterruptOnTheCard, OverflowAndTransmittedRecoversThenCompletesTheFrameOnce) {
  TogetherBench bench(0x10);  // OVW beside the PTX

  const std::vector<Access>& trace = bench.trace();
  const std::size_t tallies = FirstRead(trace, port::CNTR0);
  const std::size_t stop = FirstOf(trace, Wr(port::CR, kStop));
  const std::size_t status = FirstRead(trace, port::TSR);
  ASSERT_LT(status, trace.size());
  EXPECT_LT(tallies, stop);
  EXPECT_LT(stop, status) << "the transmit step ran before the overflow recovery";
  // The stop, RBCR cleared so that the controller reaches its reset state,
  // then a start in internal loopback to empty the ring; back on the wire
  // once it is empty. The frame was seen sent, so ISR is not read again.
  const std::vector<Access> recovery = {Wr(port::CR, kStop), Wr(port::RBCR1, 0x00),
                                        Wr(port::RBCR0, 0x00), Wr(port::TCR, 0x02),
                                        Wr(port::CR, 0x22)};
  ASSERT_LE(stop + recovery.size(), trace.size());
  const auto from = trace.begin() + static_cast<std::ptrdiff_t>(stop);
  EXPECT_EQ(std::vector<Access>(from, from + static_cast<std::ptrdiff_t>(recovery.size())),
            recovery);
  const auto onTheWire = std::find(from, trace.end(), Wr(port::TCR, 0x00));
  EXPECT_LT(std::find(from, trace.end(), Wr(port::CR, kSelectPage1)), onTheWire)
      << "back on the wire before the ring was looked at";
  // The finished frame is not sent again: no transmission is under way and
  // it was counted once.
  EXPECT_FALSE(bench.nic().card().controller().transmitter().busy());
  EXPECT_EQ(bench.record().ResendAfterOverflow, FALSE);
  EXPECT_EQ(bench.record().TxGoodCount, 1U);
  EXPECT_EQ(bench.record().CurrentTx, -1);
  EXPECT_EQ(bench.nic().card().controller().tcr(), 0x00);
  ASSERT_EQ(bench.nic().protocol.frames.size(), 1U);
  EXPECT_EQ(bench.nic().protocol.frames[0].bytes, bench.frame());
}

// The frame on the wire ends between the handler's look at ISR and the
// recovery's stop: ISR shows it sent once the controller has stopped, so it
// is completed, not sent again.
TEST(InterruptOnTheCard, AFrameEndingAsTheRecoveryStopsIsNotSentAgain) {
  DatapathBench bench;
  HandBuiltAdapter& nic = bench.nic();
  const auto packet = sim::Packet::fromBytes(PatternFrame(1514, kPeer, nic.placement().station, 3));
  ASSERT_EQ(nic.send(*packet), NDIS_STATUS_PENDING);
  bool stopped = false;
  nic.interposer().setHook([&](std::uint64_t, std::uint16_t offset, sim::Direction direction) {
    if (!stopped && offset == port::CR && direction == sim::Direction::Write &&
        nic.record()->Overflowed) {
      stopped = true;
      bench.machine().runFor(200us);
    }
  });
  nic.raiseStatus(0x10);  // OVW, with the frame still going out
  nic.interposer().clearHook();

  ASSERT_TRUE(stopped);
  EXPECT_FALSE(nic.card().controller().transmitter().busy()) << "sent again";
  EXPECT_EQ(bench.adapter()->TxGoodCount, 1U);
  EXPECT_EQ(nic.protocol.completions.size(), 1U);
}

TEST(InterruptOnTheCard, PhyEventAloneUpdatesTheLinkThenFindsNoStatusAndReturns) {
  DatapathBench bench;
  sim::IoBus& bus = bench.machine().bus();
  bus.clearTrace();
  bus.startTrace();
  bench.nic().card().raisePhyEvent();
  bench.machine().runFor(3s);
  bus.stopTrace();
  const std::vector<Access> trace = Observed(bus);

  // Masked, the link read over the management lines, ISR read once.
  ASSERT_GE(trace.size(), 4U);
  EXPECT_EQ(trace[0], Wr(port::IMR, 0x00));
  const auto mii = std::count_if(trace.begin(), trace.end(), [](const Access& a) {
    return a.offset == port::MIIMR && a.direction == sim::Direction::Write;
  });
  EXPECT_GT(mii, 32) << "no management frame";
  const auto isrReads = std::count_if(trace.begin(), trace.end(), [](const Access& a) {
    return a.offset == port::ISR && a.direction == sim::Direction::Read;
  });
  EXPECT_EQ(isrReads, 1);
  const std::size_t end = trace.size();
  EXPECT_EQ(trace[end - 3], Wr(port::IMR, 0x1B));
  EXPECT_EQ(trace[end - 4].offset, port::ISR);
  EXPECT_FALSE(bench.nic().card().vendor().phyEventPending());
  EXPECT_FALSE(bench.nic().card().interruptAsserted());
}

}  // namespace
}  // namespace kl::test
