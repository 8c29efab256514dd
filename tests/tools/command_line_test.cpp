// The kl7046 program's command line and registry file: what each accepts,
// and the one-line reason for what it turns away.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kl7046/bus_cycles.h"
#include "kl7046/command_line.h"
#include "kl7046/installation_file.h"

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

// What `command` makes of the options in `line`; nothing, with the reason in
// `error`, when the line is refused.
template <class Options>
std::optional<Options> Parse(std::string_view command, const std::string& line,
                             std::string& error) {
  std::vector<std::string_view> args = Split(line);
  args.insert(args.begin(), command);
  const CommandLine parsed = parseCommandLine(args);
  error = std::holds_alternative<Refused>(parsed) ? std::get<Refused>(parsed).reason : "";
  return std::holds_alternative<Options>(parsed) ? std::optional(std::get<Options>(parsed))
                                                 : std::nullopt;
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
  const auto options = Parse<DemoOptions>("demo", c.args, error);
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
        AcceptedCase{"Hex", "--frames 0x10", 16, 60, 1514, 16, 0, false},
        AcceptedCase{"LeadingZeroIsDecimal", "--frames 010", 10, 60, 1514, 16, 0, false},
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
  EXPECT_FALSE(Parse<DemoOptions>("demo", c.args, error).has_value());
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Demo, Refused,
    ::testing::Values(
        RefusedCase{"Unknown", "--bogus", "unknown option '--bogus'"},
        RefusedCase{"Positional", "again", "unexpected argument 'again'"},
        RefusedCase{"MissingValue", "--frames", "--frames needs a value"},
        RefusedCase{"Negative", "--frames -5", "--frames takes a number of frames, not '-5'"},
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
                    "--card-type 1 is the PC Card, which is always word-wide"},
        RefusedCase{"BusCycle", "--bus-cycle 600,",
                    "--bus-cycle takes typical, fastest, NS or NS8,NS16, not '600,'"},
        RefusedCase{"TimingCorner", "--timing slow",
                    "--timing corner \"slow\" is none of fastest, typical, slowest and random"},
        RefusedCase{"NoStations", "--stations 0", "--stations takes 2 to 64 stations, not 0"},
        RefusedCase{"TooManyStations", "--stations 65",
                    "--stations takes 2 to 64 stations, not 65"},
        RefusedCase{"Topology", "--topology ring",
                    "--topology takes hub, switch or cable, not 'ring'"},
        RefusedCase{"Pattern", "--pattern all",
                    "--pattern takes all-to-all, incast, multicast or storm, not 'all'"},
        RefusedCase{"PerMachine", "--per-machine 15", "--per-machine takes 1 to 14 cards, not 15"},
        RefusedCase{"PcapPort", "--pcap-port 0",
                    "--pcap-port takes a station's number or all, not '0'"},
        RefusedCase{"TimingOutOfItsRange", "--timing slowest,break-link=2s",
                    "--timing break-link=2s is outside break-link's range, 1.2 s to 1.5 s (IEEE "
                    "802.3 28.3.2: break_link_timer)"}),
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
  const auto options = Parse<BridgeOptions>("bridge", c.args, error);
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

TEST(BridgeOptions, TakeTheDevicesTheDurationTheTimingAndTheSeed) {
  std::string error;
  const auto options = Parse<BridgeOptions>(
      "bridge", "--wire w0 --station s0 --duration 2.5 --timing random --seed 12", error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->wire, "w0");
  EXPECT_EQ(options->station, "s0");
  EXPECT_EQ(options->durationSeconds, 2.5);
  ASSERT_TRUE(options->timing.has_value());
  EXPECT_EQ(options->timing->corner, sim::card::TimingCorner::Random);
  EXPECT_EQ(options->seed, 12U);
}

TEST(CommandLine, IsTheDemosWithoutACommandAndShowsTheVersion) {
  const CommandLine demo = parseCommandLine({"--frames", "7"});
  ASSERT_TRUE(std::holds_alternative<DemoOptions>(demo));
  EXPECT_EQ(std::get<DemoOptions>(demo).frames, 7U);
  EXPECT_TRUE(std::holds_alternative<DemoOptions>(parseCommandLine({})));
  const CommandLine version = parseCommandLine({"--version"});
  ASSERT_TRUE(std::holds_alternative<Shown>(version));
  EXPECT_THAT(std::get<Shown>(version).text,
              ::testing::MatchesRegex("kl7046 [0-9]+\\.[0-9]+\\.[0-9]+\n"));
}

TEST(TraceOptions, TakeTheVcdFileAndSayWhatIsWrong) {
  std::string error;
  const auto options = Parse<TraceOptions>("trace", "--vcd out.vcd --mii", error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->vcd, "out.vcd");
  EXPECT_TRUE(options->mii);
  EXPECT_FALSE(Parse<TraceOptions>("trace", "--vcd", error).has_value());
  EXPECT_EQ(error, "--vcd needs a value");
  EXPECT_FALSE(Parse<TraceOptions>("trace", "--frames", error).has_value());
  EXPECT_EQ(error, "unknown option '--frames'");
}

// ---------------------------------------------------------------------------

struct InstallationCase {
  const char* name;
  const char* text;
  const char* error;  // empty: accepted
};

class InstallationFile : public ::testing::TestWithParam<InstallationCase> {};

TEST_P(InstallationFile, AcceptsOrNamesTheLineAndTheFault) {
  const InstallationCase& c = GetParam();
  std::istringstream in(c.text);
  std::string error;
  const bool read = readInstallation(in, error).has_value();
  EXPECT_EQ(read, *c.error == '\0');
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Config, InstallationFile,
    ::testing::Values(
        InstallationCase{"Empty", "", ""},
        InstallationCase{"CommentsAndBlanks", "# note\n\n  \n[adapter1]\nCardType=0 # probed\n",
                         ""},
        InstallationCase{"CaseOfNames", "[ADAPTER2]\ncardtype=1\nSIM.busWidth=16\n", ""},
        InstallationCase{"OutsideSection", "CardType=0\n",
                         "line 1: Keyword=Value lines belong in a section ([machine], [network], "
                         "[adapter1] or [adapter2])"},
        InstallationCase{"BadSection", "[adapter3]\n",
                         "line 1: unknown section [adapter3] (sections are [machine], [network], "
                         "[adapter1] and [adapter2])"},
        InstallationCase{"Network", "[Network]\nstations=64\nTopology=Switch\nPattern=storm\n", ""},
        InstallationCase{"Stations", "[network]\nStations=65\n",
                         "line 2: Stations is a count from 2 to 64"},
        InstallationCase{"Topology", "[network]\nTopology=ring\n",
                         "line 2: Topology is cable, hub or switch"},
        InstallationCase{"Pattern", "[network]\nPattern=all\n",
                         "line 2: Pattern is all-to-all, incast, multicast or storm"},
        InstallationCase{"PerMachine", "[network]\nPerMachine=15\n",
                         "line 2: PerMachine is a count from 1 to 14"},
        InstallationCase{"NoEquals", "[adapter1]\nCardType 0\n", "line 2: expected Keyword=Value"},
        InstallationCase{"NoValue", "[adapter1]\n\nCardType=\n", "line 3: expected Keyword=Value"},
        InstallationCase{"UnknownKeyword", "[adapter1]\nCardTyp=1\n",
                         "line 2: unknown keyword CardTyp (the driver reads CardType, BusType, "
                         "IoBaseAddress, InterruptNumber, MaximumMulticastList, ConnectionType "
                         "and NetworkAddress)"},
        InstallationCase{"BadNetworkAddress", "[adapter1]\nNetworkAddress=02005G\n",
                         "line 2: NetworkAddress is hex bytes such as 02005E102030"},
        InstallationCase{"UnknownCardSetting", "[adapter1]\nsim.Colour=red\n",
                         "line 2: unknown card setting sim.Colour"},
        InstallationCase{"BusWidth", "[adapter1]\nsim.BusWidth=32\n",
                         "line 2: sim.BusWidth is 8 or 16"},
        InstallationCase{"MemoryBeyondTheSpace", "[adapter1]\nsim.MemorySize=10001\n",
                         "line 2: sim.MemorySize is a hex card address up to 10000"},
        InstallationCase{"Phy", "[adapter1]\nsim.Phy=8139\n",
                         "line 2: sim.Phy is 78E1, 8201, 5C21, generic or none"},
        InstallationCase{"PhyAddress", "[adapter1]\nsim.PhyAddress=32\n",
                         "line 2: sim.PhyAddress is an MII address from 0 to 31"},
        InstallationCase{"Partner", "[adapter1]\nsim.LinkPartner=1000full\n",
                         "line 2: sim.LinkPartner is auto, 10half, 10full, 100half, 100full or "
                         "none"},
        InstallationCase{"StationAddress", "[adapter1]\nsim.StationAddress=02-4B\n",
                         "line 2: sim.StationAddress is six hex bytes such as 02-4B-4C-70-46-01"},
        InstallationCase{"AttributeMemory", "[adapter1]\nsim.AttributeMemory=yes\n",
                         "line 2: sim.AttributeMemory is pccard or none"},
        InstallationCase{"McaPos", "[adapter1]\nsim.McaPos=01-02-03\n",
                         "line 2: sim.McaPos is four hex bytes such as 01-02-03-04"},
        InstallationCase{"McaAdapterId", "[adapter1]\nsim.McaAdapterId=10000\n",
                         "line 2: sim.McaAdapterId is a hex adapter id such as 7154"},
        InstallationCase{"MachineSetting", "[machine]\nMemory=64\n",
                         "line 2: unknown machine setting Memory (the machine has Processors, "
                         "BusCycle and Timing)"},
        InstallationCase{"Timing", "[machine]\nTiming=fastest,link-loss-10=151ms\n",
                         "line 2: Timing link-loss-10=151ms is outside link-loss-10's range, 50 ms "
                         "to 150 ms (IEEE 802.3 14.2.1.7: link_loss_timer)"},
        InstallationCase{"BusCycle", "[machine]\nBusCycle=slow\n",
                         "line 2: BusCycle is typical, fastest, NS or NS8,NS16 (nanoseconds per "
                         "port cycle)"},
        InstallationCase{"Processors", "[machine]\nProcessors=0\n",
                         "line 2: Processors is a count from 1 to 32"}),
    [](const auto& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------

struct BusCycleCase {
  const char* text;
  long byteNs;  // negative: refused
  long wordNs;
};

class BusCycles : public ::testing::TestWithParam<BusCycleCase> {};

TEST_P(BusCycles, NameTheTimeOfEachWidth) {
  const BusCycleCase& c = GetParam();
  const auto cycles = parseBusCycles(c.text);
  ASSERT_EQ(cycles.has_value(), c.byteNs >= 0);
  if (cycles) {
    EXPECT_EQ(cycles->byteCycle.count(), c.byteNs);
    EXPECT_EQ(cycles->wordCycle.count(), c.wordNs);
  }
}

INSTANTIATE_TEST_SUITE_P(Demo, BusCycles,
                         ::testing::Values(BusCycleCase{"typical", 600, 600},
                                           BusCycleCase{"fastest", 255, 255},
                                           BusCycleCase{"0", 0, 0}, BusCycleCase{"400", 400, 400},
                                           BusCycleCase{"300,600", 300, 600},
                                           BusCycleCase{"1000000", 1000000, 1000000},
                                           BusCycleCase{"1000001", -1, 0}, BusCycleCase{"", -1, 0},
                                           BusCycleCase{",600", -1, 0}, BusCycleCase{"600,", -1, 0},
                                           BusCycleCase{"-5", -1, 0}, BusCycleCase{"600ns", -1, 0},
                                           BusCycleCase{"1,2,3", -1, 0}));

TEST(Installation, KeywordsAsInstalledAndTheCardBesideThem) {
  std::istringstream in(
      "[machine]\n"
      "Processors=2\n"
      "BusCycle=255,600\n"
      "Timing=slowest,break-link=1.4s\n"
      "[adapter2]\n"
      "IoBaseAddress=320\n"
      "NetworkAddress=02:00:5e:10:20\n"
      "sim.BusWidth=8\n"
      "sim.MemoryStart=0\n"
      "sim.MemorySize=8000\n"
      "sim.Phy=none\n"
      "sim.LinkPartner=10half\n"
      "sim.McaAdapterId=7154\n"
      "sim.McaPos=01-02-03-04\n");
  std::string error;
  const auto installation = readInstallation(in, error);
  ASSERT_TRUE(installation.has_value()) << error;
  EXPECT_EQ(installation->processors, 2U);
  ASSERT_TRUE(installation->busCycles.has_value());
  EXPECT_EQ(installation->busCycles->byteCycle, std::chrono::nanoseconds(255));
  EXPECT_EQ(installation->busCycles->wordCycle, std::chrono::nanoseconds(600));
  ASSERT_TRUE(installation->timing.has_value());
  EXPECT_EQ(sim::card::describeTiming(*installation->timing), "slowest, break-link 1.4 s");
  const SlotSettings& first = installation->adapters[0];
  const SlotSettings& second = installation->adapters[1];
  EXPECT_TRUE(first.adapter.keywords.empty());
  // Text, as the INF installs it; the driver asks NDIS to read it as hex.
  EXPECT_EQ(second.adapter.keywords.at("ioBASEaddress"), sim::RegistryValue(std::string("320")));
  EXPECT_EQ(second.adapter.networkAddress,
            (std::vector<std::uint8_t>{0x02, 0x00, 0x5E, 0x10, 0x20}));
  EXPECT_EQ(second.busWidth, sim::card::BusWidth::Byte);
  EXPECT_EQ(second.memoryStart, 0U);
  EXPECT_EQ(second.memorySize, 0x8000U);
  ASSERT_TRUE(second.phy.has_value());
  EXPECT_FALSE(second.phy->has_value());
  ASSERT_TRUE(second.partner.has_value());
  EXPECT_EQ(second.partner->kind, sim::card::LinkSignal::Kind::Forced);
  ASSERT_TRUE(second.adapter.mca.has_value());
  EXPECT_EQ(second.adapter.mca->pos.AdapterId, 0x7154);
  EXPECT_EQ(second.adapter.mca->pos.PosData4, 0x04);
}

}  // namespace
}  // namespace kl::tools
