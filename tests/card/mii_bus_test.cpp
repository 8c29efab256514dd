// The MII management bus as a clause 22 station drives it: frames decoded on
// MDC's rising edges, the addressed device answering reads bit 15 first, and
// malformed or unaddressed frames ignored.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "sim/card/phy/mii_bus.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

// A register file that records what reaches it.
class RecordingDevice final : public MiiDevice {
 public:
  std::uint16_t readRegister(std::uint8_t reg) override {
    reads.push_back(reg);
    return registers[reg];
  }
  void writeRegister(std::uint8_t reg, std::uint16_t value) override {
    writes.emplace_back(reg, value);
    registers[reg] = value;
  }
  std::map<std::uint8_t, std::uint16_t> registers;
  std::vector<std::uint8_t> reads;
  std::vector<std::pair<std::uint8_t, std::uint16_t>> writes;
};

class FrameLog final : public MiiObserver {
 public:
  void frameDecoded(const MiiFrame& frame) override { frames.push_back(frame); }
  void linesChanged(const MiiLines& lines) override { ++changes, last = lines; }
  std::vector<MiiFrame> frames;
  unsigned changes = 0;
  MiiLines last{};
};

// A station on the bus: sets data with MDC low, raises MDC, and samples a
// released MDIO after each rising edge.
class Station {
 public:
  explicit Station(MiiBus& bus) : bus_(bus) {}

  void bits(std::uint32_t value, unsigned count) {
    for (unsigned i = count; i-- > 0;) {
      const std::uint8_t level = ((value >> i) & 1) != 0 ? 0x02 : 0x00;
      bus_.drive(level);
      bus_.drive(level | 0x01);
    }
  }
  // Released clocks; returns the levels seen after each rising edge.
  std::uint32_t released(unsigned count) {
    std::uint32_t seen = 0;
    for (unsigned i = 0; i < count; ++i) {
      bus_.drive(0x04);
      bus_.drive(0x05);
      seen = (seen << 1) | (bus_.mdio() ? 1u : 0u);
    }
    return seen;
  }
  void write(std::uint8_t address, std::uint8_t reg, std::uint16_t value, unsigned preamble = 32,
             std::uint32_t start = 0x1, std::uint32_t opcode = 0x1) {
    bits(0xFFFFFFFF, preamble);
    bits(start, 2);
    bits(opcode, 2);
    bits(address, 5);
    bits(reg, 5);
    bits(0x2, 2);
    bits(value, 16);
    bits(0x7, 3);
  }
  // A read as the driver samples it: bit 15 after the second turnaround
  // clock, each later bit one clock on.
  std::uint16_t read(std::uint8_t address, std::uint8_t reg, unsigned preamble = 32,
                     std::uint32_t start = 0x1, std::uint32_t opcode = 0x2) {
    bits(0xFFFFFFFF, preamble);
    bits(start, 2);
    bits(opcode, 2);
    bits(address, 5);
    bits(reg, 5);
    const std::uint32_t seen = released(2 + 16);
    bits(0x7, 3);
    return static_cast<std::uint16_t>(seen >> 1);
  }

 private:
  MiiBus& bus_;
};

struct Bench {
  explicit Bench(MdioLevel floating = MdioLevel::High) : bus(floating), station(bus) {
    bus.attach(5, device);
    bus.setObserver(&log);
    device.registers[0x03] = 0x78E1;
  }
  MiiBus bus;
  RecordingDevice device;
  FrameLog log;
  Station station;
};

TEST(MiiBus, WriteFrameReachesTheAddressedRegister) {
  Bench bench;
  bench.station.write(5, 0x14, 0x54D2);
  ASSERT_EQ(bench.device.writes.size(), 1u);
  EXPECT_EQ(bench.device.writes[0], std::make_pair(std::uint8_t{0x14}, std::uint16_t{0x54D2}));
  ASSERT_EQ(bench.log.frames.size(), 1u);
  EXPECT_TRUE(bench.log.frames[0].answered);
  EXPECT_EQ(bench.log.frames[0].op, MiiFrame::Op::Write);
}

TEST(MiiBus, ReadFrameIsAnsweredBitFifteenFirstAndTheLineReleasedAfter) {
  Bench bench;
  for (const std::uint16_t value : {0x78E1, 0x8001, 0x0000, 0xFFFF, 0x5AA5}) {
    bench.device.registers[0x02] = value;
    EXPECT_EQ(bench.station.read(5, 0x02), value);
    EXPECT_FALSE(bench.bus.lines().deviceDrives) << "the PHY kept MDIO after the frame";
  }
  EXPECT_EQ(bench.device.reads.size(), 5u);
}

TEST(MiiBus, TheDeviceDrivesZeroInTheSecondTurnaroundBit) {
  Bench bench;
  bench.device.registers[0x02] = 0xFFFF;
  bench.station.bits(0xFFFFFFFF, 32);
  bench.station.bits(0x1, 2);
  bench.station.bits(0x2, 2);
  bench.station.bits(5, 5);
  bench.station.bits(2, 5);
  // Up to the last register bit the PHY does not drive. After the first
  // turnaround edge it drives 0, after the second bit 15.
  EXPECT_FALSE(bench.bus.lines().deviceDrives);
  EXPECT_EQ(bench.station.released(1), 0u);
  EXPECT_EQ(bench.station.released(1), 1u);
}

struct IgnoredCase {
  std::string name;
  unsigned preamble;
  std::uint32_t start;
  std::uint32_t writeOpcode;
  std::uint32_t readOpcode;
  std::uint8_t address;
};

class IgnoredFrame : public testing::TestWithParam<IgnoredCase> {};

TEST_P(IgnoredFrame, ReachesNoRegisterAndTheNextFrameStillDoes) {
  const IgnoredCase& row = GetParam();
  for (const MdioLevel floating : {MdioLevel::High, MdioLevel::Low}) {
    Bench bench(floating);
    // A driven 0 first, so that no earlier ones lengthen the preamble.
    bench.station.bits(0, 1);
    bench.station.write(row.address, 0x04, 0x0000, row.preamble, row.start, row.writeOpcode);
    bench.station.bits(0, 1);
    const std::uint16_t read =
        bench.station.read(row.address, 0x03, row.preamble, row.start, row.readOpcode);
    EXPECT_TRUE(bench.device.writes.empty());
    EXPECT_TRUE(bench.device.reads.empty());
    EXPECT_EQ(read, floating == MdioLevel::High ? 0xFFFF : 0x0000);

    bench.station.write(5, 0x04, 0x01E1);
    EXPECT_EQ(bench.station.read(5, 0x04), 0x01E1);
    EXPECT_EQ(bench.device.writes.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Malformed, IgnoredFrame,
                         testing::Values(IgnoredCase{"PreambleOf31", 31, 0x1, 0x1, 0x2, 5},
                                         IgnoredCase{"NoPreamble", 0, 0x1, 0x1, 0x2, 5},
                                         IgnoredCase{"StartZeroZero", 32, 0x0, 0x1, 0x2, 5},
                                         IgnoredCase{"OpcodeZeroZero", 32, 0x1, 0x0, 0x0, 5},
                                         IgnoredCase{"OpcodeOneOne", 32, 0x1, 0x3, 0x3, 5},
                                         IgnoredCase{"UnmatchedAddress", 32, 0x1, 0x1, 0x2, 4},
                                         IgnoredCase{"AddressZero", 32, 0x1, 0x1, 0x2, 0}),
                         CaseName{});

TEST(MiiBus, UnansweredFramesAreStillSeenByTheObserver) {
  Bench bench;
  bench.station.read(9, 0x03);
  ASSERT_EQ(bench.log.frames.size(), 1u);
  EXPECT_FALSE(bench.log.frames[0].answered);
  EXPECT_EQ(bench.log.frames[0].phyAddress, 9);
  EXPECT_EQ(bench.log.frames[0].data, 0xFFFF);
}

TEST(MiiBus, ObserverSeesEveryLineChange) {
  Bench bench;
  bench.station.write(5, 0, 0);
  EXPECT_EQ(bench.log.changes, 2u * 67u);
  EXPECT_TRUE(bench.log.last.mdc);
  EXPECT_TRUE(bench.log.last.hostDrives);
}

TEST(MiiBus, AddressesAreCheckedWhenAttaching) {
  MiiBus bus;
  RecordingDevice a;
  RecordingDevice b;
  bus.attach(31, a);
  EXPECT_THROW(bus.attach(31, b), std::invalid_argument);
  EXPECT_THROW(bus.attach(32, b), std::invalid_argument);
}

}  // namespace
}  // namespace kl::sim::card::test
