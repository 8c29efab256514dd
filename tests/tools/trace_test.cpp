// The trace: register values with their bits named, the scenario's sections
// with the driver's accesses in them, and the MII lines as a VCD file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kl7046/register_bits.h"
#include "kl7046/trace.h"

namespace kl::tools {
namespace {

using sim::Direction;

struct BitsCase {
  const char* name;
  const char* reg;
  Direction direction;
  std::uint8_t value;
  const char* text;
};

class RegisterBits : public ::testing::TestWithParam<BitsCase> {};

TEST_P(RegisterBits, AreNamedAsTheControllerDefinesThem) {
  const BitsCase& c = GetParam();
  EXPECT_EQ(describeRegister(c.reg, c.direction, c.value), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Trace, RegisterBits,
    ::testing::Values(
        BitsCase{"CrStart", "CR", Direction::Write, 0x22, "page 0, STA, abort remote DMA"},
        BitsCase{"CrStop", "CR", Direction::Write, 0x21, "page 0, STP, abort remote DMA"},
        BitsCase{"CrTransmit", "CR", Direction::Write, 0x26, "page 0, STA, TXP, abort remote DMA"},
        BitsCase{"CrRemoteRead", "CR", Direction::Write, 0x0A, "page 0, STA, remote read"},
        BitsCase{"CrRemoteWrite", "CR", Direction::Write, 0x12, "page 0, STA, remote write"},
        BitsCase{"CrPage3", "CR", Direction::Write, 0xC2, "page 3, STA, no remote DMA"},
        BitsCase{"CrPage1", "CR", Direction::Read, 0x62, "page 1, STA, abort remote DMA"},
        BitsCase{"IsrNone", "ISR", Direction::Read, 0x00, "none"},
        BitsCase{"IsrAll", "ISR", Direction::Read, 0xFF, "PRX, PTX, RXE, TXE, OVW, CNT, RDC, RST"},
        BitsCase{"Imr", "IMR", Direction::Write, 0x1B, "PRX, PTX, TXE, OVW"},
        BitsCase{"Rcr", "RCR", Direction::Write, 0x1C, "AB, AM, PRO"},
        BitsCase{"TcrNormal", "TCR", Direction::Write, 0x00, "normal"},
        BitsCase{"TcrLoopback", "TCR", Direction::Write, 0x02, "internal loopback"},
        BitsCase{"Dcr", "DCR", Direction::Write, 0x49, "WTS, LS, FIFO threshold 8 bytes"},
        BitsCase{"TsrAbort", "TSR", Direction::Read, 0x08, "ABT"},
        BitsCase{"Rsr", "RSR", Direction::Read, 0x21, "PRX, PHY"},
        BitsCase{"Vendor", "VENDOR", Direction::Read, 0x03, "interrupt output, PHY event"},
        BitsCase{"MiimrWrite", "MIIMR", Direction::Write, 0x03, "MDC, MDIO out"},
        BitsCase{"MiimrRead", "MIIMR", Direction::Read, 0x4C,
                 "MDIO released, MDIO in, full duplex"},
        BitsCase{"ANumber", "BNRY", Direction::Write, 0x4D, ""},
        BitsCase{"Data", "DATA", Direction::Read, 0x12, ""}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Trace, WalksTheScenarioAndWritesTheManagementLines) {
  const std::filesystem::path vcd = std::filesystem::temp_directory_path() /
                                    ("kl7046-trace-" + std::to_string(::getpid()) + ".vcd");
  std::ostringstream out;
  std::ostringstream err;
  TraceOptions options;
  options.vcd = vcd.string();
  ASSERT_EQ(runTrace(options, out, err), 0) << err.str();
  EXPECT_EQ(err.str(), "");
  const std::string trace = out.str();
  for (const char* expected : {
           "== bring-up: DriverEntry and MiniportInitialize",
           "== one send: 60 bytes to the far station",
           "W  0x300 CR      = 0x26  page 0, STA, TXP, abort remote DMA",
           "protocol: send complete, status 0x00000000",
           "== one receive: 60 bytes from the far station",
           "protocol: receive indication: 14-byte header, 46 bytes of lookahead, frame of 60 bytes",
           "== a link change: the switch port forced to 10 Mbit/s half duplex",
           "MII read PHY 1 register 0x02 -> 0x0013",
           "== halt",
           "frames on the wire: 1 from the card",
       }) {
    EXPECT_NE(trace.find(expected), std::string::npos) << expected;
  }

  std::ifstream in(vcd);
  std::stringstream dump;
  dump << in.rdbuf();
  std::filesystem::remove(vcd);
  const std::string text = dump.str();
  EXPECT_EQ(text.rfind("$version kl7046 trace $end\n$timescale 1ns $end\n", 0), 0U);
  for (const char* var : {"$var wire 1 ! mdc $end", "$var wire 1 \" mdio_host $end",
                          "$var wire 1 # mdio_phy $end", "$var wire 1 $ mdio $end"}) {
    EXPECT_NE(text.find(var), std::string::npos) << var;
  }
  // The PHY drives MDIO in reads and lets go after them.
  EXPECT_NE(text.find("0#"), std::string::npos);
  EXPECT_NE(text.find("z#"), std::string::npos);
  // Timestamps only ever grow.
  std::istringstream lines(text);
  long long last = -1;
  std::size_t stamps = 0;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == '#') {
      const long long stamp = std::stoll(line.substr(1));
      EXPECT_GT(stamp, last);
      last = stamp;
      ++stamps;
    }
  }
  EXPECT_GT(stamps, 1000U);
}

}  // namespace
}  // namespace kl::tools
