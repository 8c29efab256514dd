// Bring-up with arbitrary configuration: any keyword with a number or text of
// any kind (BusType any value its keyword holds), network-address overrides
// of any length, Micro Channel POS data or none, PC Card attribute memory of
// any size, one or two processors, and a card at 0x300 or none. An
// initialize that fails must fail cleanly: one error-log entry saying why (a
// refused configuration with the value refused, or no card), everything it
// took given back (the host checks), and no read past what NDIS handed it.
// One that succeeds must leave a working adapter: it carries a frame each
// way with a second adapter on the same cable.
//
// Input: a byte of choices, then keywords (name, kind, value) until the
// input ends, with the override and the slot data taken on the way.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/adapter_on_card.h"
#include "sim/card/station_prom.h"
#include "sim/world/network.h"
#include "support/linked_driver.h"

namespace {

using kl::fuzz::check;

constexpr std::array<const char*, 8> kKeywords = {
    "CardType",       "BusType",  "IoBaseAddress", "InterruptNumber", "MaximumMulticastList",
    "ConnectionType", "cardtype", "NetworkAddress"};
constexpr std::size_t kLongestText = 12;
constexpr std::size_t kLongestOverride = 16;
constexpr std::size_t kAttributeMemory = 0x800;
constexpr NDIS_ERROR_CODE kUnsupportedConfiguration = 0xC0001391;
constexpr NDIS_ERROR_CODE kAdapterNotFound = 0xC000138B;
constexpr kl::sim::card::MacAddress kFirst = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
constexpr kl::sim::card::MacAddress kSecond = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x02};
constexpr kl::sim::world::Mac kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
constexpr ULONG kFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;

void checkRefusal(kl::sim::Machine& machine) {
  check(machine.errorLog().size() == 1, "not exactly one error-log entry");
  const kl::sim::ErrorLogEntry& entry = machine.errorLog().front();
  check((entry.code == kUnsupportedConfiguration && entry.values.size() == 1) ||
            (entry.code == kAdapterNotFound && entry.values.empty()),
        "an error-log entry that does not say why");
}

// The configured adapter on a card at 0x300, cabled to a second one brought
// up as installed: refused cleanly, or up and carrying a frame each way.
void comesUpAndCarries(kl::sim::AdapterSetup setup, unsigned processors) {
  auto slots = kl::sim::world::defaultSlots(kFirst, kSecond);
  // The card is where the configuration says: a base that only overlaps it
  // would have the driver read its write-only registers, which the card
  // reports, and another interrupt would leave the card's line unheard
  // (arbitrary bases and interrupts are fuzzed with no card).
  setup.keywords.erase("IoBaseAddress");
  setup.keywords.erase("InterruptNumber");
  slots[0].adapter = std::move(setup);
  kl::sim::world::Network network(
      {.slots = {slots.begin(), slots.end()}, .machine = {.processorCount = processors}});
  kl::sim::Machine& machine = network.machine();
  machine.onViolation([](const std::string& what) { kl::fuzz::fail("NDIS rule: " + what); });
  check(kl::test::loadLinkedDriver(machine) == STATUS_SUCCESS, "the driver did not load");
  network.addStations({});
  if (network.adapter(0).initialize() != NDIS_STATUS_SUCCESS) {
    checkRefusal(machine);
    return;
  }
  check(machine.errorLog().empty(), "an adapter came up with an error logged");
  if (processors > 1) {
    // One adapter at a time on a multiprocessor: the second is refused.
    return;
  }
  check(network.adapter(1).initialize() == NDIS_STATUS_SUCCESS, "the second adapter failed");
  check(network.waitForLink(std::chrono::seconds(5)), "the link never came up");
  for (std::size_t side = 0; side < 2; ++side) {
    check(network.station(side).open(kFilter, kGroup) == NDIS_STATUS_SUCCESS,
          "a station could not open its adapter");
  }
  network.station(0).aim(network.station(1).address(), 1);
  network.station(1).aim(network.station(0).address(), 1);
  check(network.runTraffic(), "the frames did not cross in time");
  for (std::size_t side = 0; side < 2; ++side) {
    const kl::sim::world::StationCounts& counts = network.station(side).counts();
    check(counts.framesReceived == 1 && counts.damaged == 0, "a frame did not cross intact");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto choices = input.ConsumeIntegral<std::uint8_t>();
  kl::sim::AdapterSetup setup;
  if ((choices & 1) != 0) {
    setup.networkAddress = input.ConsumeBytes<std::uint8_t>(
        input.ConsumeIntegralInRange<std::size_t>(0, kLongestOverride));
  }
  if ((choices & 2) != 0) {
    kl::sim::McaSlot slot;
    slot.channel = input.ConsumeIntegral<std::uint8_t>();
    slot.pos.AdapterId = input.ConsumeIntegral<USHORT>();
    slot.pos.PosData1 = input.ConsumeIntegral<UCHAR>();
    slot.pos.PosData2 = input.ConsumeIntegral<UCHAR>();
    slot.pos.PosData3 = input.ConsumeIntegral<UCHAR>();
    slot.pos.PosData4 = input.ConsumeIntegral<UCHAR>();
    setup.mca = slot;
  }
  if ((choices & 4) != 0) {
    setup.attributeMemory = input.ConsumeBytes<std::uint8_t>(
        input.ConsumeIntegralInRange<std::size_t>(0, kAttributeMemory));
  }
  while (input.remaining_bytes() != 0) {
    const auto kind = input.ConsumeIntegral<std::uint8_t>();
    const std::string name = kKeywords[kind % kKeywords.size()];
    if ((kind & 0x80) != 0) {
      const std::vector<std::uint8_t> text = input.ConsumeBytes<std::uint8_t>(
          input.ConsumeIntegralInRange<std::size_t>(0, kLongestText));
      setup.keywords[name] = std::string(text.begin(), text.end());
    } else {
      setup.keywords[name] = input.ConsumeIntegral<std::uint32_t>();
    }
  }

  const unsigned processors = (choices & 8) != 0 ? 2U : 1U;
  if ((choices & 16) != 0) {
    comesUpAndCarries(std::move(setup), processors);
    return 0;
  }
  kl::sim::Machine machine({.processorCount = processors});
  machine.onViolation([](const std::string& what) { kl::fuzz::fail("NDIS rule: " + what); });
  check(kl::test::loadLinkedDriver(machine) == STATUS_SUCCESS, "the driver did not load");
  kl::sim::MiniportAdapter& adapter = machine.addAdapter(std::move(setup));
  check(adapter.initialize() != NDIS_STATUS_SUCCESS, "an adapter came up with no card");
  checkRefusal(machine);
  return 0;
}
