// Reading an adapter's configuration: keywords as an installation stores them
// (text, parsed in the base the driver asks for), the address override and
// the Micro Channel POS bytes, into the record or a refusal.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/configuration.h"
#include "driver/driver_entry.h"
#include "sim/host/machine.h"

namespace kl::test {
namespace {

using sim::AdapterSetup;
using sim::KeywordRead;
using sim::McaSlot;
using sim::Registry;
using Mac = std::array<std::uint8_t, 6>;

constexpr Mac kNoAddress{};
constexpr Mac kOverride{0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
constexpr ULONG kRefused = 0xC0001391;

struct Expected {
  bool refused = false;
  ULONG refusedValue = 0;
  ULONG ioBase = 0x300;
  int interrupt = 3;
  ULONG multicastList = 32;
  UCHAR busType = 1;
  ULONG cardType = 0;
  UCHAR connectionType = 0;
  Mac currentAddress = kNoAddress;
};

struct ConfigCase {
  const char* name;
  Registry keywords;
  std::optional<std::vector<std::uint8_t>> networkAddress;
  std::optional<McaSlot> mca;
  Expected expected;
};

McaSlot Slot(USHORT adapterId, UCHAR posData1) {
  return McaSlot{.channel = 3, .pos = {.AdapterId = adapterId, .PosData1 = posData1}};
}

struct Outcome {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  BOOLEAN refused = FALSE;
  ULONG refusedValue = 0;
  Adapter record{};
  std::vector<KeywordRead> reads;
};

// `failing`, when given, fails its first call with NDIS_STATUS_RESOURCES.
Outcome Read(AdapterSetup setup, std::optional<sim::NdisOperation> failing = std::nullopt) {
  sim::Machine machine;
  sim::MiniportAdapter& block = machine.addAdapter(std::move(setup));
  if (failing) {
    machine.ndisFailures().failCall(*failing, 1, NDIS_STATUS_RESOURCES);
  }
  Outcome outcome;
  outcome.status = ReadAdapterConfiguration(&outcome.record, block.configurationContext(),
                                            &outcome.refused, &outcome.refusedValue);
  outcome.reads = block.keywordReads();
  return outcome;
}

class ConfigurationTable : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigurationTable, SettlesEveryField) {
  const ConfigCase& c = GetParam();
  const Outcome out =
      Read(AdapterSetup{.keywords = c.keywords, .networkAddress = c.networkAddress, .mca = c.mca});
  const Expected& e = c.expected;
  ASSERT_EQ(out.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(out.refused != FALSE, e.refused);
  EXPECT_EQ(out.refusedValue, e.refused ? e.refusedValue : 0U);
  if (e.refused) {
    return;  // nothing after the refusing keyword matters
  }
  const Adapter& a = out.record;
  EXPECT_EQ(a.IoBaseAddress, e.ioBase);
  EXPECT_EQ(a.InterruptNumber, e.interrupt);
  EXPECT_EQ(a.MaxMulticastList, e.multicastList);
  EXPECT_EQ(a.BusType, e.busType);
  EXPECT_EQ(a.CardType, e.cardType);
  EXPECT_EQ(a.ConnectionType, e.connectionType);
  Mac current{};
  std::copy(std::begin(a.CurrentAddress), std::end(a.CurrentAddress), current.begin());
  EXPECT_EQ(current, e.currentAddress);
}

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> bytes) { return bytes; }

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigurationTable,
    ::testing::Values(
        ConfigCase{"defaults", {}, {}, {}, {}},
        ConfigCase{"io_base_11F_refused",
                   {{"IoBaseAddress", "11F"}},
                   {},
                   {},
                   {.refused = true, .refusedValue = 0x11F}},
        ConfigCase{"io_base_120", {{"IoBaseAddress", "120"}}, {}, {}, {.ioBase = 0x120}},
        ConfigCase{"io_base_C3D0", {{"IoBaseAddress", "C3D0"}}, {}, {}, {.ioBase = 0xC3D0}},
        ConfigCase{"io_base_C3D1_refused",
                   {{"IoBaseAddress", "C3D1"}},
                   {},
                   {},
                   {.refused = true, .refusedValue = 0xC3D1}},
        ConfigCase{"io_base_10_on_pc_card",
                   {{"IoBaseAddress", "10"}, {"BusType", "8"}},
                   {},
                   {},
                   {.ioBase = 0x10, .busType = 8}},
        ConfigCase{"io_base_10_on_isa_refused",
                   {{"IoBaseAddress", "10"}},
                   {},
                   {},
                   {.refused = true, .refusedValue = 0x10}},
        ConfigCase{"interrupt_1_refused",
                   {{"InterruptNumber", "1"}},
                   {},
                   {},
                   {.refused = true, .refusedValue = 1}},
        ConfigCase{"interrupt_2", {{"InterruptNumber", "2"}}, {}, {}, {.interrupt = 2}},
        ConfigCase{"interrupt_15", {{"InterruptNumber", "F"}}, {}, {}, {.interrupt = 15}},
        ConfigCase{"interrupt_16_refused",
                   {{"InterruptNumber", "10"}},
                   {},
                   {},
                   {.refused = true, .refusedValue = 16}},
        ConfigCase{"interrupt_103_is_3", {{"InterruptNumber", "103"}}, {}, {}, {.interrupt = 3}},
        ConfigCase{"interrupt_FF_refused_as_minus_1",
                   {{"InterruptNumber", "FF"}},
                   {},
                   {},
                   {.refused = true, .refusedValue = 0xFFFFFFFF}},
        ConfigCase{"multicast_33_keeps_32", {{"MaximumMulticastList", "33"}}, {}, {}, {}},
        ConfigCase{"multicast_0", {{"MaximumMulticastList", "0"}}, {}, {}, {.multicastList = 0}},
        ConfigCase{"multicast_decimal_20",
                   {{"MaximumMulticastList", "20"}},
                   {},
                   {},
                   {.multicastList = 20}},
        ConfigCase{"card_and_connection_type",
                   {{"CardType", "1"}, {"ConnectionType", "260"}},
                   {},
                   {},
                   {.cardType = 1, .connectionType = 4}},
        ConfigCase{"bus_type_low_byte", {{"BusType", "105"}}, {}, {}, {.busType = 5}},
        ConfigCase{"unreadable_keyword_keeps_default", {{"IoBaseAddress", "0x3g0"}}, {}, {}, {}},
        ConfigCase{"override_6_bytes",
                   {},
                   Bytes({0x02, 0x00, 0x5E, 0x10, 0x20, 0x30}),
                   {},
                   {.currentAddress = kOverride}},
        ConfigCase{"override_5_bytes_ignored", {}, Bytes({0x02, 0x00, 0x5E, 0x10, 0x20}), {}, {}},
        ConfigCase{"override_7_bytes_ignored",
                   {},
                   Bytes({0x02, 0x00, 0x5E, 0x10, 0x20, 0x30, 0x40}),
                   {},
                   {}},
        ConfigCase{"override_six_zero_bytes", {}, Bytes({0, 0, 0, 0, 0, 0}), {}, {}},
        ConfigCase{"pos_67B0_4A",
                   {{"BusType", "3"}},
                   {},
                   Slot(0x67B0, 0x4A),
                   {.ioBase = 0x320, .interrupt = 5, .busType = 3}},
        ConfigCase{"pos_67B0_08",
                   {{"BusType", "3"}},
                   {},
                   Slot(0x67B0, 0x08),
                   {.ioBase = 0x300, .interrupt = 3, .busType = 3}},
        ConfigCase{"pos_67B0_bit7_ignored",
                   {{"BusType", "3"}},
                   {},
                   Slot(0x67B0, 0xE2),
                   {.ioBase = 0x1000, .interrupt = 9, .busType = 3}},
        ConfigCase{"pos_7154_0E",
                   {{"BusType", "3"}},
                   {},
                   Slot(0x7154, 0x0E),
                   {.ioBase = 0xC3D0, .interrupt = 3, .busType = 3}},
        ConfigCase{"pos_7154_field_4_is_10",
                   {{"BusType", "3"}},
                   {},
                   Slot(0x7154, 0x88),
                   {.ioBase = 0xA0A0, .interrupt = 10, .busType = 3}},
        ConfigCase{"pos_7154_field_7_is_15",
                   {{"BusType", "3"}},
                   {},
                   Slot(0x7154, 0xEA),
                   {.ioBase = 0xB0B0, .interrupt = 15, .busType = 3}},
        ConfigCase{"pos_7154_field_3_is_9",
                   {{"BusType", "3"}},
                   {},
                   Slot(0x7154, 0x6C),
                   {.ioBase = 0xC0C0, .interrupt = 9, .busType = 3}},
        ConfigCase{"pos_values_not_range_checked",
                   {{"BusType", "3"}, {"IoBaseAddress", "11F"}},
                   {},
                   Slot(0x67B0, 0x06),
                   {.ioBase = 0x8020, .busType = 3}},
        ConfigCase{"pos_other_id_uses_keywords",
                   {{"BusType", "3"}, {"IoBaseAddress", "340"}, {"InterruptNumber", "A"}},
                   {},
                   Slot(0x1234, 0x4A),
                   {.ioBase = 0x340, .interrupt = 10, .busType = 3}},
        ConfigCase{"pos_other_id_range_checked",
                   {{"BusType", "3"}, {"IoBaseAddress", "10"}},
                   {},
                   Slot(0x1234, 0x4A),
                   {.refused = true, .refusedValue = 0x10}},
        ConfigCase{"pos_unreadable_refused",
                   {{"BusType", "3"}},
                   {},
                   {},
                   {.refused = true, .refusedValue = kRefused}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Configuration, ReadsEachKeywordOnceWithItsParameterType) {
  const Outcome out = Read({});
  const std::vector<KeywordRead> expected = {
      {"CardType", NdisParameterHexInteger},          {"BusType", NdisParameterHexInteger},
      {"IoBaseAddress", NdisParameterHexInteger},     {"InterruptNumber", NdisParameterHexInteger},
      {"MaximumMulticastList", NdisParameterInteger}, {"ConnectionType", NdisParameterInteger}};
  EXPECT_EQ(out.reads, expected);
}

TEST(Configuration, RefusalStopsTheReading) {
  const Outcome out = Read(AdapterSetup{.keywords = {{"IoBaseAddress", "11F"}}});
  ASSERT_FALSE(out.reads.empty());
  EXPECT_EQ(out.reads.back().keyword, "IoBaseAddress");
}

TEST(Configuration, SlotResourcesSkipTheirKeywords) {
  const Outcome out = Read(AdapterSetup{.keywords = {{"BusType", "3"}}, .mca = Slot(0x67B0, 0x4A)});
  for (const KeywordRead& read : out.reads) {
    EXPECT_NE(read.keyword, "IoBaseAddress");
    EXPECT_NE(read.keyword, "InterruptNumber");
  }
}

TEST(Configuration, FailedOpenReturnsItsStatusAndReadsNothing) {
  const Outcome out = Read(AdapterSetup{}, sim::NdisOperation::OpenConfiguration);
  EXPECT_EQ(out.status, NDIS_STATUS_RESOURCES);
  EXPECT_TRUE(out.reads.empty());
}

// On a multiprocessor machine a second adapter is refused while another one
// runs; on a single processor any number run.
struct ProcessorCase {
  const char* name;
  unsigned processors;
  bool anotherRunning;
  bool refused;
};

class ProcessorRule : public ::testing::TestWithParam<ProcessorCase> {};

TEST_P(ProcessorRule, LimitsAMultiprocessorMachineToOneAdapter) {
  const ProcessorCase& c = GetParam();
  sim::Machine machine(sim::MachineSetup{.processorCount = c.processors});
  sim::MiniportAdapter& block = machine.addAdapter();
  Adapter running{};
  AdapterList = c.anotherRunning ? &running : nullptr;
  Adapter record{};
  BOOLEAN refused = FALSE;
  ULONG value = 0;
  EXPECT_EQ(ReadAdapterConfiguration(&record, block.configurationContext(), &refused, &value),
            NDIS_STATUS_SUCCESS);
  AdapterList = nullptr;
  EXPECT_EQ(refused != FALSE, c.refused);
  EXPECT_EQ(value, c.refused ? kRefused : 0U);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessorRule,
                         ::testing::Values(ProcessorCase{"one_cpu_alone", 1, false, false},
                                           ProcessorCase{"one_cpu_second", 1, true, false},
                                           ProcessorCase{"two_cpus_alone", 2, false, false},
                                           ProcessorCase{"two_cpus_second", 2, true, true}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kl::test
