// Bring-up through NDIS on the driver under test (in the 32-bit build also
// kl7046.sys loaded from its image): every card variant comes up, answers
// with its addresses and carries traffic both ways; every refusal returns
// its status, logs its entry and gives back all it took (the host checks).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "end_to_end/two_stations.h"
#include "sim/card/pc_card.h"

namespace kl::test {
namespace {

using sim::card::BusWidth;
using sim::card::MacAddress;
using sim::card::MemoryPlacement;
using sim::world::SlotSetup;

constexpr MacAddress kAttributeAddress = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0xAA};
constexpr MacAddress kOverride = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

// Both slots alike, as `shape` makes the first one; the second keeps its
// own address.
std::array<SlotSetup, 2> Alike(const std::function<void(SlotSetup&, const MacAddress&)>& shape) {
  auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  shape(slots[0], kFirstStation);
  shape(slots[1], kSecondStation);
  return slots;
}

void ByteWide(SlotSetup& slot, const MacAddress& station) {
  slot.card.busWidth = BusWidth::Byte;
  slot.card.prom = sim::card::byteWidePromImage(station);
}

struct VariantCase {
  const char* name;
  std::function<void(SlotSetup&, const MacAddress&)> shape;
  // What the first adapter answers for its addresses.
  MacAddress permanent = kFirstStation;
  MacAddress current = kFirstStation;
};

class Variant : public ::testing::TestWithParam<VariantCase> {};

TEST_P(Variant, ComesUpAnswersItsAddressesAndCarriesTraffic) {
  const VariantCase& c = GetParam();
  TwoStations world(51, {}, Alike(c.shape));
  world.bringUp();
  sim::MiniportAdapter& adapter = world.pair().adapter(0);
  std::array<std::uint8_t, 6> address{};
  ULONG written = 0;
  ULONG needed = 0;
  ASSERT_EQ(adapter.query(OID_802_3_PERMANENT_ADDRESS, address, written, needed),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(address, c.permanent);
  ASSERT_EQ(adapter.query(OID_802_3_CURRENT_ADDRESS, address, written, needed),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(address, c.current);
  ASSERT_TRUE(world.exchange(1000));
  world.expectClean();
  EXPECT_TRUE(world.machine().errorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryCard, Variant,
    ::testing::Values(VariantCase{"WordWide", [](SlotSetup&, const MacAddress&) {}},
                      VariantCase{"ByteWide", ByteWide},
                      VariantCase{"MemoryFromZero",
                                  [](SlotSetup& slot, const MacAddress&) {
                                    slot.card.memory = MemoryPlacement{0x0000, 0x4000};
                                  }},
                      // The ring then ends at page 0xFF, where page arithmetic in 8 bits
                      // would wrap through 0.
                      VariantCase{"MemoryToTheTop",
                                  [](SlotSetup& slot, const MacAddress&) {
                                    slot.card.memory = MemoryPlacement{0xC000, 0x4000};
                                  }},
                      VariantCase{"ByteWideSmallMemory",
                                  [](SlotSetup& slot, const MacAddress& station) {
                                    ByteWide(slot, station);
                                    slot.card.memory = MemoryPlacement{0x4000, 0x2000};
                                  }},
                      VariantCase{"FixedMemory",
                                  [](SlotSetup& slot, const MacAddress&) {
                                    slot.adapter.keywords.insert_or_assign("CardType",
                                                                           std::string("2"));
                                  }},
                      VariantCase{"PcCard",
                                  [](SlotSetup& slot, const MacAddress& station) {
                                    slot.adapter.keywords.insert_or_assign("CardType",
                                                                           std::string("1"));
                                    // The PROM is erased on this card; attribute memory holds
                                    // the address.
                                    slot.card.prom = sim::card::erasedPromImage();
                                    slot.adapter.attributeMemory = sim::card::pcCardAttributeMemory(
                                        station == kFirstStation ? kAttributeAddress : station);
                                  },
                                  kAttributeAddress, kAttributeAddress},
                      VariantCase{"AddressOverride",
                                  [](SlotSetup& slot, const MacAddress& station) {
                                    if (station == kFirstStation) {
                                      slot.adapter.networkAddress = std::vector<std::uint8_t>(
                                          kOverride.begin(), kOverride.end());
                                    }
                                  },
                                  kFirstStation, kOverride}),
    [](const auto& param) { return std::string(param.param.name); });

// What the driver tells NDIS of each adapter: its record as every handler's
// context, no hang check and no attribute flags, the bus of its BusType; and
// an interrupt at vector and level InterruptNumber, latched, not shared,
// with no interrupt routine requested.
TEST(BringUp, TellsNdisWhatTheAdapterIsAndHowItInterrupts) {
  auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  slots[1].adapter.keywords.insert_or_assign("BusType", std::string("8"));
  TwoStations world(54, {}, slots);
  world.bringUp();
  for (std::size_t side = 0; side < 2; ++side) {
    SCOPED_TRACE(side);
    const sim::MiniportAdapter& adapter = world.pair().adapter(side);
    EXPECT_NE(adapter.attributes().context, nullptr);
    EXPECT_EQ(adapter.attributes().checkForHangSeconds, 0U);
    EXPECT_EQ(adapter.attributes().flags, 0U);
    EXPECT_EQ(adapter.attributes().interfaceType,
              side == 0 ? NdisInterfaceIsa : NdisInterfacePcMcia);
    const UINT vector = slots[side].vector;
    EXPECT_EQ(adapter.interruptRegistration(),
              (sim::InterruptRegistration{.vector = vector,
                                          .level = vector,
                                          .requestIsr = false,
                                          .shared = false,
                                          .mode = NdisInterruptLatched}));
  }
}

// ---------------------------------------------------------------------------

constexpr ULONG kAdapterNotFound = 0xC000138B;
constexpr ULONG kInterruptConnect = 0xC000138C;
constexpr ULONG kUnsupportedConfiguration = 0xC0001391;

// The error-log entry a refusal writes.
struct Logged {
  ULONG code;
  std::vector<ULONG> values;
};

struct RefusalCase {
  const char* name;
  std::function<void(SlotSetup&)> spoil;  // the second slot
  NDIS_STATUS status;
  Logged logged;
  // Done once the first adapter is up, before the second one initializes.
  std::function<void(TwoStations&)> fault = [](TwoStations&) {};
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, ReturnsLogsGivesBackAndLeavesTheOtherAdapterRunning) {
  const RefusalCase& c = GetParam();
  auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  c.spoil(slots[1]);
  TwoStations world(52, {}, slots);
  sim::world::Network& pair = world.pair();
  ASSERT_EQ(pair.adapter(0).initialize(), NDIS_STATUS_SUCCESS);
  c.fault(world);
  EXPECT_EQ(pair.adapter(1).initialize(), c.status);
  EXPECT_FALSE(pair.adapter(1).initialized());
  ASSERT_EQ(world.machine().errorLog().size(), 1U);
  const sim::ErrorLogEntry& entry = world.machine().errorLog().front();
  EXPECT_EQ(entry.adapter, pair.adapter(1).handle());
  EXPECT_EQ(static_cast<ULONG>(entry.code), c.logged.code);
  EXPECT_EQ(entry.values, c.logged.values);
  // The first adapter is not disturbed by its neighbour's failure.
  world.machine().runFor(std::chrono::seconds(3));
  EXPECT_EQ(sim::world::queryUlong(pair.adapter(0), OID_GEN_HARDWARE_STATUS), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRefusal, Refusal,
    ::testing::Values(
        RefusalCase{"NoCardAtTheIoBase",
                    [](SlotSetup& slot) {
                      slot.adapter.keywords.insert_or_assign("IoBaseAddress", std::string("280"));
                    },
                    NDIS_STATUS_FAILURE,
                    {kAdapterNotFound, {}}},
        RefusalCase{"IoBaseOutOfRange",
                    [](SlotSetup& slot) {
                      slot.adapter.keywords.insert_or_assign("IoBaseAddress", std::string("11F"));
                    },
                    NDIS_STATUS_FAILURE,
                    {kUnsupportedConfiguration, {0x11F}}},
        RefusalCase{"NoMemory",
                    [](SlotSetup& slot) {
                      slot.card.memory = MemoryPlacement{0x4000, 0};
                    },
                    NDIS_STATUS_FAILURE,
                    {kAdapterNotFound, {}}},
        RefusalCase{"MemoryTooSmall",
                    [](SlotSetup& slot) {
                      slot.card.memory = MemoryPlacement{0x4000, 0x1000};
                    },
                    NDIS_STATUS_FAILURE,
                    {kAdapterNotFound, {}}},
        RefusalCase{
            "NeverReportsStopped",
            [](SlotSetup&) {},
            NDIS_STATUS_FAILURE,
            {kAdapterNotFound, {}},
            [](TwoStations& world) { world.pair().card(1).faults().stoppedStateHidden = true; }},
        RefusalCase{"InterruptCannotBeConnected",
                    [](SlotSetup&) {},
                    NDIS_STATUS_FAILURE,
                    {kInterruptConnect, {}},
                    [](TwoStations& world) {
                      world.machine().ndisFailures().failCall(sim::NdisOperation::RegisterInterrupt,
                                                              1, NDIS_STATUS_RESOURCES);
                    }}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kl::test
