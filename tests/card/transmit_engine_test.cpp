// The card's transmitter, from TXP to the far end of the cable: the bytes
// and FCS that cross, the wire time on the virtual clock, TXP while busy,
// internal loopback, injected aborts, a stop in mid-frame and a link that
// carries nothing.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim/core/crc32.h"
#include "wire_test_support.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

// The rig's card runs at the typical corner.
const Duration kTransmitStart = rangeOf(Timing::TransmitStart).typical;

struct TimingCase {
  std::string name;
  net::BitRate rate;
  std::size_t length;  // TBCR
  Duration arrival;    // preamble, delimiter, frame and FCS
  Duration ptx;        // and the inter-frame gap
};

class TransmitTiming : public testing::TestWithParam<TimingCase> {};

TEST_P(TransmitTiming, FrameArrivesAfterItsWireTimeAndPtxFollowsTheGap) {
  const TimingCase& c = GetParam();
  WireRig rig(c.rate);
  rig.start();
  const std::vector<std::uint8_t> frame = frameTo(kStation, c.length, 0x11);
  const VirtualTime t0 = rig.clock.now();
  rig.transmit(frame);
  rig.run(kTransmitStart);  // the FIFO is filled before the preamble goes out
  const Duration start = rig.clock.now() - t0;

  rig.run(c.arrival - 1ns);
  EXPECT_TRUE(rig.far.arrivals().empty());
  rig.run(1ns);
  ASSERT_EQ(rig.far.arrivals().size(), 1U);
  EXPECT_EQ(rig.far.arrivals()[0].at - t0, start + c.arrival);
  EXPECT_EQ(rig.far.arrivals()[0].frame.bytes, net::withFcs(frame));

  rig.run(c.ptx - c.arrival - 1ns);
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPtx, 0);
  EXPECT_EQ(rig.card.read8(port::CR) & 0x04, 0x04) << "TXP reads back while sending";
  rig.run(1ns);
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPtx, isr::kPtx);
  EXPECT_EQ(rig.card.read8(port::TSR), kTsrPtx);
  EXPECT_EQ(rig.card.read8(port::CR), cr::kStartAbort);
}

// Wire time in bits: 64 of preamble and delimiter, 8 a byte of frame and
// FCS, then 96 of gap; 10 ns a bit at 100 Mbit/s and 100 ns at 10.
INSTANTIATE_TEST_SUITE_P(
    Rates, TransmitTiming,
    testing::Values(TimingCase{"Min100", net::BitRate::Mbit100, 60, 5760ns, 6720ns},
                    TimingCase{"Max100", net::BitRate::Mbit100, 1514, 122'080ns, 123'040ns},
                    TimingCase{"Min10", net::BitRate::Mbit10, 60, 57'600ns, 67'200ns},
                    TimingCase{"Max10", net::BitRate::Mbit10, 1514, 1'220'800ns, 1'230'400ns},
                    TimingCase{"Odd10", net::BitRate::Mbit10, 61, 58'400ns, 68'000ns}),
    CaseName{});

TEST(TransmitFcs, IsTheStandardCrcLeastSignificantByteFirst) {
  // The check value of the CRC-32 over "123456789".
  const std::string text = "123456789";
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  EXPECT_EQ(ethernetFcs(bytes), 0xCBF43926U);
  const std::vector<std::uint8_t> framed = net::withFcs(bytes);
  EXPECT_EQ(std::vector<std::uint8_t>(framed.end() - 4, framed.end()),
            (std::vector<std::uint8_t>{0x26, 0x39, 0xF4, 0xCB}));
  EXPECT_TRUE(net::fcsValid(framed));
  // Every length a frame has, and those either side of the 16- and 64-byte
  // steps the FCS is worked out in, against zlib's byte-at-a-time CRC.
  constexpr unsigned kSeed = 7046;
  std::mt19937 random(kSeed);
  std::vector<std::uint8_t> frame(1520);
  for (auto& byte : frame) {
    byte = static_cast<std::uint8_t>(random());
  }
  for (std::size_t length = 0; length <= frame.size(); ++length) {
    ASSERT_EQ(ethernetFcs(std::span(frame).first(length)), crc32(0, frame.data(), length))
        << "length " << length << ", seed " << kSeed;
  }
}

TEST(Transmit, TxpWhileSendingIsIgnored) {
  WireRig rig;
  rig.start();
  const std::vector<std::uint8_t> first = frameTo(kStation, 100, 1);
  const std::vector<std::uint8_t> second = frameTo(kStation, 200, 2);
  rig.transmit(first);
  rig.run(1us);
  rig.transmit(second, kTxPage + 1);
  rig.run(1ms);
  ASSERT_EQ(rig.far.arrivals().size(), 1U);
  EXPECT_EQ(rig.far.arrivals()[0].frame.bytes, net::withFcs(first));
}

TEST(Transmit, BackToBackFramesKeepTheGap) {
  WireRig rig;
  rig.start();
  const std::vector<std::uint8_t> frame = frameTo(kStation, 60);
  for (int i = 0; i < 3; ++i) {
    rig.transmit(frame);
    rig.run(kTransmitStart + 6720ns);  // exactly the frame's start, wire time and gap
    ASSERT_EQ(rig.card.read8(port::ISR) & isr::kPtx, isr::kPtx);
    rig.card.write8(port::ISR, isr::kPtx);
  }
  ASSERT_EQ(rig.far.arrivals().size(), 3U);
  EXPECT_EQ(rig.far.arrivals()[1].at - rig.far.arrivals()[0].at, kTransmitStart + 6720ns);
  EXPECT_EQ(rig.far.arrivals()[2].at - rig.far.arrivals()[1].at, kTransmitStart + 6720ns);
}

TEST(Transmit, InternalLoopbackKeepsTheFrameOffTheCable) {
  WireRig rig;
  rig.start(0, tcr::kInternalLoopback);
  rig.transmit(frameTo(kStation, 60));
  rig.run(1ms);
  EXPECT_TRUE(rig.far.arrivals().empty());
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPtx, isr::kPtx);
  EXPECT_EQ(rig.card.read8(port::TSR), kTsrPtx);
}

struct AbortCase {
  std::string name;
  unsigned aborts;
};

class TransmitAborts : public testing::TestWithParam<AbortCase> {};

TEST_P(TransmitAborts, EachAbortReportsTxeAndSendsNothingThenTheNextGoesOut) {
  WireRig rig;
  rig.start();
  rig.card.faults().transmitAborts = GetParam().aborts;
  const std::vector<std::uint8_t> frame = frameTo(kStation, 300, 3);
  for (unsigned i = 0; i < GetParam().aborts; ++i) {
    rig.transmit(frame);
    rig.run(1ms);
    EXPECT_EQ(rig.card.read8(port::ISR) & (isr::kPtx | kIsrTxe), kIsrTxe) << "attempt " << i;
    EXPECT_EQ(rig.card.read8(port::TSR) & kTsrPtx, 0) << "attempt " << i;
    rig.card.write8(port::ISR, 0xFF);
  }
  EXPECT_TRUE(rig.far.arrivals().empty());
  rig.transmit(frame);
  rig.run(1ms);
  EXPECT_EQ(rig.card.read8(port::ISR) & (isr::kPtx | kIsrTxe), isr::kPtx);
  ASSERT_EQ(rig.far.arrivals().size(), 1U);
  EXPECT_EQ(rig.far.arrivals()[0].frame.bytes, net::withFcs(frame));
}

INSTANTIATE_TEST_SUITE_P(Injected, TransmitAborts,
                         testing::Values(AbortCase{"Once", 1}, AbortCase{"Burst", 5}), CaseName{});

TEST(Transmit, StopInMidFrameCutsItOffUnreported) {
  WireRig rig;
  rig.start();
  rig.transmit(frameTo(kStation, 1514));
  rig.run(50us);
  rig.card.write8(port::CR, cr::kStopAbort);
  rig.run(2ms);
  EXPECT_TRUE(rig.far.arrivals().empty());
  EXPECT_EQ(rig.card.read8(port::ISR) & (isr::kPtx | kIsrTxe), 0);
}

TEST(Transmit, StopAfterTheFrameArrivedStillReportsIt) {
  WireRig rig;
  rig.start();
  rig.transmit(frameTo(kStation, 60));
  rig.run(kTransmitStart + 5760ns);  // arrived; only the gap is left
  rig.card.write8(port::CR, cr::kStopAbort);
  rig.run(1us);
  EXPECT_EQ(rig.far.arrivals().size(), 1U);
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPtx, isr::kPtx);
}

TEST(Transmit, TxpWhileStoppedDoesNothing) {
  WireRig rig;
  rig.start();
  rig.card.write8(port::CR, cr::kStopAbort);
  rig.card.memory().write(kTxPage * 256U, frameTo(kStation, 60));
  rig.card.write8(port::TPSR, kTxPage);
  rig.card.write8(port::TBCR0, 60);
  rig.card.write8(port::CR, 0x25);  // stop with TXP
  rig.run(1ms);
  EXPECT_TRUE(rig.far.arrivals().empty());
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPtx, 0);
}

struct NoCarrierCase {
  std::string name;
  bool connected;
  net::BitRate farRate;
};

class TransmitWithoutCarrier : public testing::TestWithParam<NoCarrierCase> {};

TEST_P(TransmitWithoutCarrier, CompletesWithCarrierLostAndNothingArrives) {
  WireRig rig;
  rig.cable.setConnected(GetParam().connected);
  rig.cable.end(WireRig::kFar).setBitRate(GetParam().farRate);
  rig.start();
  rig.transmit(frameTo(kStation, 60));
  rig.run(1ms);
  EXPECT_TRUE(rig.far.arrivals().empty());
  EXPECT_EQ(rig.card.read8(port::ISR) & isr::kPtx, isr::kPtx);
  EXPECT_EQ(rig.card.read8(port::TSR), kTsrPtx | 0x10);
}

INSTANTIATE_TEST_SUITE_P(Links, TransmitWithoutCarrier,
                         testing::Values(NoCarrierCase{"Unplugged", false, net::BitRate::Mbit100},
                                         NoCarrierCase{"SpeedsDisagree", true,
                                                       net::BitRate::Mbit10}),
                         CaseName{});

}  // namespace
}  // namespace kl::sim::card::test
