// MII management frames against the scripted port double, read back the way a
// logic analyser on MDC and MDIO would see them: one bit per rising edge of
// MDC, the host's level or a released line, and where the host samples.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "phy/phy.h"
#include "tests/driver/sequence_bench.h"

namespace kl::test {
namespace {

using std::chrono::microseconds;
using ::testing::ElementsAreArray;

constexpr std::uint8_t kMdc = 0x01;
constexpr std::uint8_t kMdioOut = 0x02;
constexpr std::uint8_t kRelease = 0x04;
constexpr std::uint8_t kMdioIn = 0x08;
constexpr std::uint8_t kPage3 = 0xC2;
constexpr std::uint8_t kTxp = 0x04;
constexpr std::size_t kFrameClocks = 67;
// Clocks before the turnaround: preamble, start, opcode, address, register.
constexpr std::size_t kHeadClocks = 46;
constexpr std::size_t kTurnaroundClocks = 2;
constexpr std::size_t kDataClocks = 16;

// One MDC period as the lines showed it.
struct Clock {
  bool released = false;          // MDIO left to the PHY
  bool level = false;             // MDIO as the host drove it
  bool sampledAfterRise = false;  // the host read MIIMR while MDC was high
};

struct Frame {
  std::uint8_t crFound = 0;
  std::uint8_t crRestored = 0;
  std::vector<Clock> clocks;
};

// Splits the trace into CR save, page select, MDC periods and CR restore,
// failing the test at the first access that does not fit that shape.
Frame Analyse(const std::vector<sim::PortAccess>& trace) {
  Frame frame;
  if (trace.size() < 4) {
    ADD_FAILURE() << "too few accesses for a frame";
    return frame;
  }
  EXPECT_EQ(trace.front().direction, sim::Direction::Read);
  EXPECT_EQ(trace.front().offset, port::CR);
  frame.crFound = static_cast<std::uint8_t>(trace.front().value);
  EXPECT_EQ(trace[1].direction, sim::Direction::Write);
  EXPECT_EQ(trace[1].offset, port::CR);
  EXPECT_EQ(trace[1].value, kPage3);
  EXPECT_EQ(trace.back().direction, sim::Direction::Write);
  EXPECT_EQ(trace.back().offset, port::CR);
  frame.crRestored = static_cast<std::uint8_t>(trace.back().value);

  bool mdcHigh = true;  // the first write must be a low phase
  for (std::size_t i = 2; i + 1 < trace.size(); ++i) {
    const sim::PortAccess& access = trace[i];
    EXPECT_EQ(access.offset, port::MIIMR) << "access " << i << " left MIIMR";
    EXPECT_EQ(access.width, 1);
    if (access.direction == sim::Direction::Read) {
      EXPECT_TRUE(mdcHigh) << "MDIO sampled with MDC low at access " << i;
      if (!frame.clocks.empty()) {
        frame.clocks.back().sampledAfterRise = true;
      }
      continue;
    }
    // Every write is held for at least a microsecond before the next access.
    EXPECT_GE(trace[i + 1].time - access.time, microseconds(1)) << "access " << i;
    const auto value = static_cast<std::uint8_t>(access.value);
    EXPECT_EQ(value & ~(kMdc | kMdioOut | kRelease), 0) << "stray bits at access " << i;
    const bool high = (value & kMdc) != 0;
    EXPECT_NE(high, mdcHigh) << "MDC did not alternate at access " << i;
    mdcHigh = high;
    const Clock phase{(value & kRelease) != 0, (value & kMdioOut) != 0, false};
    if (!high) {
      frame.clocks.push_back(phase);
    } else if (!frame.clocks.empty()) {
      const Clock& low = frame.clocks.back();
      EXPECT_EQ(low.released, phase.released) << "release changed while MDC high, access " << i;
      EXPECT_EQ(low.level, phase.level) << "data changed while MDC high, access " << i;
    }
  }
  EXPECT_TRUE(mdcHigh) << "the frame ended with MDC low";
  return frame;
}

// The host-driven levels of `count` clocks from `first`, as bits.
std::uint32_t Bits(const Frame& frame, std::size_t first, std::size_t count) {
  std::uint32_t bits = 0;
  for (std::size_t i = first; i < first + count && i < frame.clocks.size(); ++i) {
    bits = (bits << 1) | (frame.clocks[i].level ? 1u : 0u);
  }
  return bits;
}

void ExpectHead(const Frame& frame, std::uint32_t opcode, std::uint8_t address, std::uint8_t reg) {
  ASSERT_EQ(frame.clocks.size(), kFrameClocks);
  EXPECT_EQ(Bits(frame, 0, 32), 0xFFFFFFFFu) << "preamble";
  EXPECT_EQ(Bits(frame, 32, 2), 0x1u) << "start";
  EXPECT_EQ(Bits(frame, 34, 2), opcode) << "opcode";
  EXPECT_EQ(Bits(frame, 36, 5), address) << "PHY address";
  EXPECT_EQ(Bits(frame, 41, 5), reg) << "register";
  for (std::size_t i = 0; i < kHeadClocks; ++i) {
    EXPECT_FALSE(frame.clocks[i].released) << "clock " << i;
  }
  for (std::size_t i = kFrameClocks - 3; i < kFrameClocks; ++i) {
    EXPECT_FALSE(frame.clocks[i].released) << "idle clock " << i;
    EXPECT_TRUE(frame.clocks[i].level) << "idle clock " << i;
  }
}

struct FrameRow {
  std::string name;
  std::uint8_t phyAddress;  // as the record holds it
  std::uint8_t reg;         // as passed
  std::uint16_t value;      // written, or answered by the PHY
  std::uint8_t crFound;
  std::uint8_t wireAddress;  // the five bits on the wire
  std::uint8_t wireRegister;
};

const auto kFrameRows =
    ::testing::Values(FrameRow{"AdvertisementAtPhy1", 1, 0x04, 0x01E1, 0x22, 1, 0x04},
                      FrameRow{"TopAddressAndRegister", 31, 0x1F, 0x8001, 0x22, 31, 0x1F},
                      FrameRow{"AddressAndRegister32SendZero", 32, 32, 0xA55A, 0x22, 0, 0},
                      FrameRow{"HighBitsDropped", 0x45, 0x34, 0x7FFE, 0x22, 5, 0x14},
                      FrameRow{"TransmitBitClearedOnRestore", 3, 0x01, 0x0000, 0x26, 3, 0x01},
                      FrameRow{"PageOneComesBack", 3, 0x02, 0xFFFF, 0x62, 3, 0x02},
                      FrameRow{"StoppedControllerComesBack", 7, 0x03, 0x8201, 0x21, 7, 0x03});

std::string RowName(const ::testing::TestParamInfo<FrameRow>& row) { return row.param.name; }

class MiiWriteFrame : public ::testing::TestWithParam<FrameRow> {};

TEST_P(MiiWriteFrame, SendsTheWholeFrameWithTheHostDrivingMdio) {
  const FrameRow& row = GetParam();
  SequenceBench bench;
  bench.adapter.PhyAddress = row.phyAddress;
  bench.ports.script(port::CR, {row.crFound});

  MiiWrite(&bench.adapter, row.reg, row.value);

  const Frame frame = Analyse(bench.machine.bus().trace());
  ExpectHead(frame, 0x1, row.wireAddress, row.wireRegister);
  EXPECT_EQ(Bits(frame, 46, 2), 0x2u) << "turnaround";
  EXPECT_EQ(Bits(frame, 48, 16), row.value) << "data, bit 15 first";
  for (const Clock& clock : frame.clocks) {
    EXPECT_FALSE(clock.released) << "a write frame released MDIO";
    EXPECT_FALSE(clock.sampledAfterRise) << "a write frame sampled MDIO";
  }
  EXPECT_EQ(frame.crFound, row.crFound);
  EXPECT_EQ(frame.crRestored, row.crFound & ~kTxp);
  EXPECT_GE(bench.elapsed(), microseconds(2 * kFrameClocks));
}

INSTANTIATE_TEST_SUITE_P(Frames, MiiWriteFrame, kFrameRows, RowName);

class MiiReadFrame : public ::testing::TestWithParam<FrameRow> {};

TEST_P(MiiReadFrame, ReleasesMdioForTurnaroundAndDataAndSamplesSixteenBits) {
  const FrameRow& row = GetParam();
  SequenceBench bench;
  bench.adapter.PhyAddress = row.phyAddress;
  bench.ports.script(port::CR, {row.crFound});
  // The PHY's bits, bit 15 first; the other MIIMR bits read back as noise
  // that must not reach the result.
  for (int bit = 15; bit >= 0; --bit) {
    const bool one = ((row.value >> bit) & 1) != 0;
    bench.ports.script(port::MIIMR, {static_cast<std::uint8_t>(one ? 0xFF : ~kMdioIn)});
  }

  EXPECT_EQ(MiiRead(&bench.adapter, row.reg), row.value);

  const Frame frame = Analyse(bench.machine.bus().trace());
  ExpectHead(frame, 0x2, row.wireAddress, row.wireRegister);
  std::size_t released = 0;
  std::size_t samples = 0;
  for (std::size_t i = 0; i < frame.clocks.size(); ++i) {
    const bool inReply = i >= kHeadClocks && i < kHeadClocks + kTurnaroundClocks + kDataClocks;
    EXPECT_EQ(frame.clocks[i].released, inReply) << "clock " << i;
    released += frame.clocks[i].released ? 1 : 0;
    // Bit 15 is there once the second turnaround clock has risen; each later
    // bit one clock on.
    const bool sampled = i >= kHeadClocks + 1 && i < kHeadClocks + 1 + kDataClocks;
    EXPECT_EQ(frame.clocks[i].sampledAfterRise, sampled) << "clock " << i;
    samples += frame.clocks[i].sampledAfterRise ? 1 : 0;
  }
  EXPECT_EQ(released, kTurnaroundClocks + kDataClocks);
  EXPECT_EQ(samples, kDataClocks);
  EXPECT_EQ(frame.crRestored, row.crFound & ~kTxp);
}

INSTANTIATE_TEST_SUITE_P(Frames, MiiReadFrame, kFrameRows, RowName);

// ---------------------------------------------------------------------------
// LinkUpdate sets the MAC's duplex in MIIMR with page 3 selected, keeping
// the other bits, and gives the page back: BNRY, at the same offset of page 0,
// is never reached. The link here was last resolved as forced, to the duplex
// in the shadow BMCR, and is still up.

struct DuplexBitRow {
  std::string name;
  USHORT bmcrShadow;
  std::uint8_t miimrFound;
  std::uint8_t miimrWritten;
};

class LinkUpdateDuplexBit : public ::testing::TestWithParam<DuplexBitRow> {};

TEST_P(LinkUpdateDuplexBit, WritesBitSixOfMiimrOnPageThree) {
  const DuplexBitRow& row = GetParam();
  SequenceBench bench;
  bench.adapter.BmcrShadow = row.bmcrShadow;
  bench.adapter.LinkUp = 1;
  bench.adapter.LinkResolved = 1;
  bench.adapter.PhyAddress = 1;
  bench.ports.standing(port::CR, 0x22);
  for (std::size_t bit = 0; bit < kDataClocks; ++bit) {
    bench.ports.script(port::MIIMR, {kMdioIn});  // BMSR reads 0xFFFF: link up
  }
  bench.ports.script(port::MIIMR, {row.miimrFound});

  LinkUpdate(&bench.adapter, FALSE);

  EXPECT_EQ(bench.adapter.LinkUp, 1);
  const std::vector<Access> all = bench.observed();
  ASSERT_GE(all.size(), 6u);
  // The status frame, then the duplex bit on its own.
  const std::vector<Access> tail(all.end() - 5, all.end());
  EXPECT_THAT(tail, ElementsAreArray({Rd(port::CR, 0x22), Wr(port::CR, kPage3),
                                      Rd(port::MIIMR, row.miimrFound),
                                      Wr(port::MIIMR, row.miimrWritten), Wr(port::CR, 0x22)}));
  // Offset 3 is reached only with page 3 selected.
  std::uint8_t cr = 0x22;
  for (const Access& access : all) {
    if (access.offset == port::CR && access.direction == sim::Direction::Write) {
      cr = static_cast<std::uint8_t>(access.value);
    } else if (access.offset == port::BNRY) {
      EXPECT_EQ(cr & 0xC0, 0xC0) << "offset 3 reached on another page: " << access;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Results, LinkUpdateDuplexBit,
                         ::testing::Values(DuplexBitRow{"FullDuplexSetsBit", 0x0100, 0x0B, 0x4B},
                                           DuplexBitRow{"HalfDuplexClearsBit", 0x0000, 0x4B, 0x0B},
                                           DuplexBitRow{"OtherBitsKept", 0x2100, 0xB3, 0xF3},
                                           DuplexBitRow{"AlreadyClear", 0x2000, 0x03, 0x03}),
                         [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace kl::test
