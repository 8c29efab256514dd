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

// On no network: the targets reach the cards through their ports alone.
sim::world::NetworkSetup onNoNetwork() {
  return {.slots = {{.card = {.busWidth = sim::card::BusWidth::Word,
                              .prom = sim::card::wordWidePromImage(kWordStation)},
                     .base = 0x300,
                     .vector = 3},
                    {.card = {.busWidth = sim::card::BusWidth::Byte,
                              .prom = sim::card::byteWidePromImage(kByteStation)},
                     .base = 0x320,
                     .vector = 5}},
          .topology = sim::world::Topology::None};
}

}  // namespace

void fail(std::string_view what) {
  std::fprintf(stderr, "broken: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

AdaptersOnCards::AdaptersOnCards() : network_(onNoNetwork()) {
  machine().onViolation([](const std::string& what) { fail("NDIS rule: " + what); });
  check(test::loadLinkedDriver(machine()) == STATUS_SUCCESS, "the driver did not load");
  check(network_.initialize() == NDIS_STATUS_SUCCESS, "an adapter did not come up");
}

AdaptersOnCards& AdaptersOnCards::instance() {
  static AdaptersOnCards world;
  return world;
}

}  // namespace kl::fuzz
