// The demo end to end: it brings both adapters up, carries every frame and
// says so, in every set-up a person can ask for; and it fails, with the
// reason and the error log, when an adapter cannot come up. In the 32-bit
// build these cases run a second time on kl7046.sys, as `--driver` runs it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>

#include "kl7046/demo.h"
#include "kl7046/network_demo.h"
#include "kl7046/report.h"

namespace kl::tools {
namespace {

// The image the end-to-end registration names, as `--driver FILE` would.
std::string DriverImage() {
  const char* file = std::getenv("KL7046_DRIVER_IMAGE");
  return file != nullptr ? file : "";
}

std::optional<ULONG> Statistic(const AdapterReport& adapter, const std::string& name) {
  for (const auto& [oid, value] : adapter.statistics) {
    if (oid == name) {
      return value;
    }
  }
  return std::nullopt;
}

struct DemoCase {
  const char* name;
  DemoOptions options;
  unsigned speedMbps;
  const char* duplex;
};

class Demo : public ::testing::TestWithParam<DemoCase> {};

TEST_P(Demo, CarriesEveryFrameAndSaysSo) {
  DemoCase c = GetParam();
  c.options.driver = DriverImage();
  SCOPED_TRACE("seed " + std::to_string(c.options.seed));
  const DemoReport report = runDemo(c.options, {});
  ASSERT_TRUE(report.clean()) << report.failure;
  EXPECT_EQ(report.speedMbps, c.speedMbps);
  EXPECT_EQ(report.duplex, c.duplex);
  EXPECT_TRUE(report.errorLog.empty());
  for (const AdapterReport& adapter : report.adapters) {
    EXPECT_EQ(adapter.counts.framesSent, c.options.frames);
    EXPECT_EQ(adapter.counts.framesReceived, c.options.frames);
    EXPECT_EQ(Statistic(adapter, "XMIT_OK"), c.options.frames);
    EXPECT_EQ(Statistic(adapter, "RCV_OK"), c.options.frames);
    EXPECT_EQ(Statistic(adapter, "LINK_SPEED"), c.speedMbps * 10000);
    // A half-duplex run collides, yet no frame is given up; the driver keeps
    // no collision counts.
    EXPECT_EQ(adapter.collisions != 0, std::string(c.duplex) == "half");
    EXPECT_EQ(adapter.givenUp, 0U);
    EXPECT_EQ(Statistic(adapter, "XMIT_ONE_COLLISION"), 0U);
  }
  EXPECT_EQ(report.adapters[0].counts.bytesSent, report.adapters[1].counts.bytesReceived);

  std::ostringstream json;
  printReportJson(report, json);
  EXPECT_NE(json.str().find("\"ok\":true"), std::string::npos) << json.str();
  // The driver waits on the card while it initialises, at PASSIVE_LEVEL.
  const auto passive = std::chrono::duration_cast<std::chrono::microseconds>(
      report.longestBusyWait[static_cast<std::size_t>(sim::Irql::Passive)]);
  EXPECT_GT(passive.count(), 0);
  EXPECT_NE(json.str().find("\"longest_busy_wait_us\":{\"PASSIVE_LEVEL\":" +
                            std::to_string(passive.count()) + ",\"DISPATCH_LEVEL\":"),
            std::string::npos);
  std::ostringstream text;
  printReport(report, text);
  EXPECT_NE(text.str().find("every frame arrived intact, once and in order"), std::string::npos);
  EXPECT_NE(text.str().find("longest busy wait       " + std::to_string(passive.count()) +
                            " us at PASSIVE_LEVEL, "),
            std::string::npos);
}

DemoOptions With(std::uint64_t frames, std::uint64_t seed) {
  DemoOptions options;
  options.frames = frames;
  options.seed = seed;
  return options;
}

DemoCase Case(const char* name, DemoOptions options, unsigned speed, const char* duplex) {
  return {name, std::move(options), speed, duplex};
}

INSTANTIATE_TEST_SUITE_P(SetUps, Demo,
                         ::testing::Values(Case("Defaults", With(500, 1), 100, "full"),
                                           Case(
                                               "ByteWide",
                                               [] {
                                                 auto o = With(300, 2);
                                                 o.busWidth = 8;
                                                 return o;
                                               }(),
                                               100, "full"),
                                           Case(
                                               "PcCard",
                                               [] {
                                                 auto o = With(300, 3);
                                                 o.cardType = 1;
                                                 return o;
                                               }(),
                                               100, "full"),
                                           Case(
                                               "TenHalf",
                                               [] {
                                                 auto o = With(200, 4);
                                                 o.speed = 10;
                                                 o.duplex = DuplexChoice::Half;
                                                 return o;
                                               }(),
                                               10, "half"),
                                           Case(
                                               "HundredHalf",
                                               [] {
                                                 auto o = With(500, 7);
                                                 o.duplex = DuplexChoice::Half;
                                                 return o;
                                               }(),
                                               100, "half"),
                                           Case(
                                               "ShortFramesPadded",
                                               [] {
                                                 auto o = With(300, 5);
                                                 o.minSize = 21;
                                                 o.maxSize = 59;
                                                 return o;
                                               }(),
                                               100, "full")),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(DemoFailure, AnAdapterThatCannotComeUpFailsTheRunWithItsErrorLog) {
  DemoOptions options = With(10, 6);
  options.driver = DriverImage();
  Installation installation;
  // Nothing answers at this base.
  installation.adapters[1].adapter.keywords.insert_or_assign("IoBaseAddress", std::string("280"));
  const DemoReport report = runDemo(options, installation);
  EXPECT_FALSE(report.clean());
  EXPECT_FALSE(report.broughtUp);
  EXPECT_EQ(report.failure, "an adapter failed to initialize (see the error log)");
  ASSERT_EQ(report.errorLog.size(), 1U);
  EXPECT_EQ(report.errorLog[0].adapter, 2U);
  EXPECT_EQ(report.errorLog[0].code, 0xC000138BU);  // adapter not found
  std::ostringstream json;
  printReportJson(report, json);
  EXPECT_NE(json.str().find("\"ok\":false"), std::string::npos);
}

// On a network, a station that cannot come up is named and left out, and
// the others carry their traffic.
TEST(NetworkDemo, AStationThatCannotComeUpIsNamedAndTheOthersRun) {
  DemoOptions options = With(10, 6);
  options.driver = DriverImage();
  options.stations = 4;
  options.topology = sim::world::Topology::Hub;
  options.pattern = sim::world::Pattern::Storm;
  Installation installation;
  installation.adapters[1].adapter.keywords.insert_or_assign("IoBaseAddress", std::string("280"));
  const NetworkReport report = runNetworkDemo(options, installation);
  EXPECT_FALSE(report.clean());
  EXPECT_EQ(report.failure, "");
  ASSERT_EQ(report.stations.size(), 4U);
  EXPECT_EQ(report.stations[1].failure, "failed to initialize (see the error log)");
  for (const std::size_t running : {0U, 2U, 3U}) {
    const sim::world::StationOutcome& outcome = report.stations[running].outcome;
    EXPECT_TRUE(outcome.running);
    EXPECT_EQ(outcome.missing, 0U);
    EXPECT_EQ(outcome.counts.framesReceived, 2 * options.frames);
  }
  std::ostringstream text;
  printNetworkReport(report, text);
  const std::string out = text.str();
  const std::size_t line = out.find("station 2 (02:4b:4c:70:46:02)");
  ASSERT_NE(line, std::string::npos) << out;
  EXPECT_NE(out.substr(line, out.find('\n', line) - line).find("failed to initialize"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("FAILED: 1 station did not run"), std::string::npos) << out;
}

// The driver has no way to see a frame that packet memory damaged after the
// card took it off the wire intact: the protocol's payload check must.
TEST(DemoFailure, AFrameDamagedInCardMemoryFailsTheRunAndIsNamed) {
  DemoOptions options = With(200, 7);
  options.driver = DriverImage();
  options.corruptFrames = 1;
  const DemoReport report = runDemo(options);
  EXPECT_TRUE(report.broughtUp);
  EXPECT_FALSE(report.clean());
  EXPECT_EQ(report.adapters[1].counts.damaged, 1U);
  EXPECT_EQ(report.adapters[1].missing, 1U);
  EXPECT_EQ(report.adapters[0].counts.damaged, 0U);
  std::ostringstream text;
  printReport(report, text);
  EXPECT_NE(text.str().find("FAILED: 1 frame arrived damaged at adapter 2; 1 frame never arrived "
                            "intact at adapter 2"),
            std::string::npos)
      << text.str();
}

}  // namespace
}  // namespace kl::tools
