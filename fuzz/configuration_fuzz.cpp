// Bring-up with arbitrary configuration: any keyword with a number or text of
// any kind, network-address overrides of any length, Micro Channel POS data
// or none, PC Card attribute memory of any size, one or two processors, and
// no card at the I/O base. The initialize must fail cleanly: one error-log
// entry saying why (a refused configuration with the value refused, or no
// card), everything it took given back (the host checks), and no read past
// what NDIS handed it.
//
// Input: a byte of choices, then keywords (name, kind, value) until the
// input ends, with the override and the slot data taken on the way.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/adapter_on_card.h"
#include "support/linked_driver.h"

namespace {

using kl::fuzz::check;

constexpr std::array<const char*, 8> kKeywords = {
    "CardType",       "BusType",  "IoBaseAddress", "InterruptNumber", "MaximumMulticastList",
    "ConnectionType", "cardtype", "NetworkAddress"};
constexpr std::size_t kLongestText = 12;
constexpr std::uint32_t kInterfaceTypes = 16;
constexpr std::size_t kLongestOverride = 16;
constexpr std::size_t kAttributeMemory = 0x800;
constexpr NDIS_ERROR_CODE kUnsupportedConfiguration = 0xC0001391;
constexpr NDIS_ERROR_CODE kAdapterNotFound = 0xC000138B;

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
    if (name == "BusType") {
      // The bus type reaches NDIS as an NDIS_INTERFACE_TYPE, and a value past
      // the interface types the platform header declares makes that
      // conversion undefined in C++ (the system's C enum takes any int);
      // until the header fixes the enum's type, the bus types stay declared.
      setup.keywords[name] = input.ConsumeIntegralInRange<std::uint32_t>(0, kInterfaceTypes - 1);
      continue;
    }
    if ((kind & 0x80) != 0) {
      const std::vector<std::uint8_t> text = input.ConsumeBytes<std::uint8_t>(
          input.ConsumeIntegralInRange<std::size_t>(0, kLongestText));
      setup.keywords[name] = std::string(text.begin(), text.end());
    } else {
      setup.keywords[name] = input.ConsumeIntegral<std::uint32_t>();
    }
  }

  kl::sim::Machine machine({.processorCount = (choices & 8) != 0 ? 2U : 1U});
  machine.onViolation([](const std::string& what) { kl::fuzz::fail("NDIS rule: " + what); });
  check(kl::test::loadLinkedDriver(machine) == STATUS_SUCCESS, "the driver did not load");
  kl::sim::MiniportAdapter& adapter = machine.addAdapter(std::move(setup));
  const NDIS_STATUS status = adapter.initialize();
  check(status != NDIS_STATUS_SUCCESS, "an adapter came up with no card");
  check(machine.errorLog().size() == 1, "not exactly one error-log entry");
  const kl::sim::ErrorLogEntry& entry = machine.errorLog().front();
  check((entry.code == kUnsupportedConfiguration && entry.values.size() == 1) ||
            (entry.code == kAdapterNotFound && entry.values.empty()),
        "an error-log entry that does not say why");
  return 0;
}
