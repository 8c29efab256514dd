// The kl7046 program's command line and registry file: what each accepts,
// and the one-line reason for what it turns away.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kl7046/bridge.h"
#include "kl7046/demo_options.h"
#include "kl7046/registry_file.h"

namespace kl::tools {
namespace {

std::vector<std::string_view> Split(const std::string& line) {
  static std::vector<std::string> words;  // kept alive for the views
  words.clear();
  std::istringstream in(line);
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return {words.begin(), words.end()};
}

struct AcceptedCase {
  const char* name;
  const char* args;
  std::uint64_t frames;
  std::size_t minSize;
  std::size_t maxSize;
  unsigned busWidth;
  std::uint32_t connectionType;
  bool json;
};

class Accepted : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(Accepted, ParsesToTheseSettings) {
  const AcceptedCase& c = GetParam();
  std::string error;
  const auto options = parseDemoOptions(Split(c.args), error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->frames, c.frames);
  EXPECT_EQ(options->minSize, c.minSize);
  EXPECT_EQ(options->maxSize, c.maxSize);
  EXPECT_EQ(options->busWidth, c.busWidth);
  EXPECT_EQ(connectionTypeOf(*options), c.connectionType);
  EXPECT_EQ(options->json, c.json);
}

INSTANTIATE_TEST_SUITE_P(
    Demo, Accepted,
    ::testing::Values(
        AcceptedCase{"Defaults", "", 2000, 60, 1514, 16, 0, false},
        AcceptedCase{"Frames", "--frames 7", 7, 60, 1514, 16, 0, false},
        AcceptedCase{"EqualsForm", "--frames=9 --json", 9, 60, 1514, 16, 0, true},
        AcceptedCase{"Sizes", "--min-size 21 --max-size 21", 2000, 21, 21, 16, 0, false},
        AcceptedCase{"ByteBus", "--bus-width 8", 2000, 60, 1514, 8, 0, false},
        AcceptedCase{"TenHalf", "--speed 10 --duplex half", 2000, 60, 1514, 16, 1, false},
        AcceptedCase{"TenAlone", "--speed 10", 2000, 60, 1514, 16, 2, false},
        AcceptedCase{"HundredHalf", "--speed 100 --duplex half", 2000, 60, 1514, 16, 3, false},
        AcceptedCase{"FullAlone", "--duplex full", 2000, 60, 1514, 16, 4, false},
        AcceptedCase{"AutoAlone", "--duplex auto", 2000, 60, 1514, 16, 0, false}),
    [](const auto& param) { return std::string(param.param.name); });

struct RefusedCase {
  const char* name;
  const char* args;
  const char* error;
};

class Refused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, SaysWhy) {
  const RefusedCase& c = GetParam();
  std::string error;
  EXPECT_FALSE(parseDemoOptions(Split(c.args), error).has_value());
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Demo, Refused,
    ::testing::Values(
        RefusedCase{"Unknown", "--bogus", "unknown option '--bogus'"},
        RefusedCase{"Positional", "again", "unexpected argument 'again'"},
        RefusedCase{"MissingValue", "--frames", "--frames needs a value"},
        RefusedCase{"NotANumber", "--frames many", "--frames takes a number of frames, not 'many'"},
        RefusedCase{"BusWidth", "--bus-width 32", "--bus-width takes 8 or 16, not '32'"},
        RefusedCase{"Speed", "--speed 1000", "--speed takes 10 or 100, not '1000'"},
        RefusedCase{"Duplex", "--duplex both", "--duplex takes auto, half or full, not 'both'"},
        RefusedCase{"TooSmall", "--min-size 20",
                    "frame sizes must satisfy 21 <= --min-size <= --max-size <= 1514"},
        RefusedCase{"TooLarge", "--max-size 1515",
                    "frame sizes must satisfy 21 <= --min-size <= --max-size <= 1514"},
        RefusedCase{"Crossed", "--min-size 100 --max-size 99",
                    "frame sizes must satisfy 21 <= --min-size <= --max-size <= 1514"},
        RefusedCase{"ByteWidePcCard", "--card-type 1 --bus-width 8",
                    "--card-type 1 is the PC Card, which is always word-wide"}),
    [](const auto& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------

struct BridgeCase {
  const char* name;
  const char* args;
  const char* error;  // empty: accepted
};

class Bridge : public ::testing::TestWithParam<BridgeCase> {};

TEST_P(Bridge, AcceptsOrSaysWhy) {
  const BridgeCase& c = GetParam();
  std::string error;
  const auto options = parseBridgeOptions(Split(c.args), error);
  EXPECT_EQ(options.has_value(), *c.error == '\0');
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, Bridge,
    ::testing::Values(BridgeCase{"Both", "--wire w0 --station s0", ""},
                      BridgeCase{"Duration", "--station s0 --wire w0 --duration 2.5", ""},
                      BridgeCase{"NoStation", "--wire w0",
                                 "bridge needs --wire TAP and --station TAP"},
                      BridgeCase{"Same", "--wire t0 --station t0",
                                 "--wire and --station must be two different TAP devices"},
                      BridgeCase{"BadDuration", "--wire w0 --station s0 --duration 0",
                                 "--duration takes a number of seconds, not '0'"},
                      BridgeCase{"MissingValue", "--wire", "--wire needs a value"},
                      BridgeCase{"Unknown", "--frames 3", "unknown option '--frames'"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(BridgeOptions, TakeTheDevicesAndTheDuration) {
  std::string error;
  const auto options = parseBridgeOptions(Split("--wire w0 --station s0 --duration 2.5"), error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->wire, "w0");
  EXPECT_EQ(options->station, "s0");
  EXPECT_EQ(options->durationSeconds, 2.5);
}

// ---------------------------------------------------------------------------

struct RegistryCase {
  const char* name;
  const char* text;
  const char* error;  // empty: accepted
};

class Registry : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(Registry, AcceptsOrNamesTheLine) {
  const RegistryCase& c = GetParam();
  std::istringstream in(c.text);
  std::string error;
  const bool read = readRegistryFile(in, {}, error).has_value();
  EXPECT_EQ(read, *c.error == '\0');
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    File, Registry,
    ::testing::Values(
        RegistryCase{"Empty", "", ""},
        RegistryCase{"CommentsAndBlanks", "# note\n\n   \nCardType = 0 # probed\n", ""},
        RegistryCase{"NoEquals", "CardType 0\n", "line 1: expected keyword = value"},
        RegistryCase{"NoValue", "\nCardType =\n", "line 2: expected keyword = value"},
        RegistryCase{"BadValue", "CardType = zero\n",
                     "line 1: the value of CardType is neither a number nor quoted text"},
        RegistryCase{"BadSection", "[adapter 3]\n",
                     "line 1: unknown section [adapter 3] (use [adapter 1] or [adapter 2])"},
        RegistryCase{"BadAddress", "NetworkAddress = 02-0G\n",
                     "line 1: NetworkAddress takes hex bytes such as 02-00-5E-10-20-30"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(RegistryFile, SectionsNumbersTextAndTheAddressOverride) {
  std::istringstream in(
      "MaximumMulticastList = 8\n"
      "[adapter 2]\n"
      "ConnectionType = 0x4\n"
      "Tag = \"two words\"\n"
      "NetworkAddress = 02:00:5e:10:20\n");
  std::string error;
  const auto file = readRegistryFile(in, {}, error);
  ASSERT_TRUE(file.has_value()) << error;
  const auto& first = file->adapters[0];
  const auto& second = file->adapters[1];
  EXPECT_EQ(first.keywords.at("maximummulticastlist"), sim::RegistryValue(8U));
  EXPECT_EQ(second.keywords.at("MaximumMulticastList"), sim::RegistryValue(8U));
  EXPECT_FALSE(first.keywords.contains("ConnectionType"));
  EXPECT_EQ(second.keywords.at("ConnectionType"), sim::RegistryValue(4U));
  EXPECT_EQ(second.keywords.at("Tag"), sim::RegistryValue(std::string("two words")));
  EXPECT_FALSE(first.networkAddress.has_value());
  EXPECT_EQ(second.networkAddress, (std::vector<std::uint8_t>{0x02, 0x00, 0x5E, 0x10, 0x20}));
}

}  // namespace
}  // namespace kl::tools
