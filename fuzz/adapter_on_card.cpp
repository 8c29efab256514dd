#include "fuzz/adapter_on_card.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/card/station_prom.h"
#include "support/linked_driver.h"

namespace kl::fuzz {

namespace {

constexpr sim::card::MacAddress kWordStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
constexpr sim::card::MacAddress kByteStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x02};

}  // namespace

void fail(std::string_view what) {
  std::fprintf(stderr, "broken: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

AdaptersOnCards::AdaptersOnCards() {
  machine().onViolation([](const std::string& what) { fail("NDIS rule: " + what); });
  check(test::loadLinkedDriver(machine()) == STATUS_SUCCESS, "the driver did not load");
  world_.addCard(
      {.busWidth = sim::card::BusWidth::Word, .prom = sim::card::wordWidePromImage(kWordStation)},
      0x300, 3);
  world_.addCard(
      {.busWidth = sim::card::BusWidth::Byte, .prom = sim::card::byteWidePromImage(kByteStation)},
      0x320, 5);
  sim::AdapterSetup second;
  second.keywords.emplace("IoBaseAddress", std::uint32_t{0x320});
  second.keywords.emplace("InterruptNumber", std::uint32_t{5});
  adapters_ = {&world_.addAdapter(), &world_.addAdapter(std::move(second))};
  for (sim::MiniportAdapter* adapter : adapters_) {
    check(adapter->initialize() == NDIS_STATUS_SUCCESS, "an adapter did not come up");
  }
}

AdaptersOnCards& AdaptersOnCards::instance() {
  static AdaptersOnCards world;
  return world;
}

}  // namespace kl::fuzz
