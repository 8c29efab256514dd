#include "tests/driver/card_world.h"

#include <algorithm>
#include <utility>

#include "driver/driver_entry.h"
#include "sim/host/packet.h"
#include "support/linked_driver.h"

namespace kl::test {

void RecordingProtocol::sendComplete(sim::MiniportAdapter& /*adapter*/, NDIS_PACKET& packet,
                                     NDIS_STATUS status) {
  completions[&packet].push_back(status);
}

void RecordingProtocol::receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
                                std::span<const std::uint8_t> lookahead, UINT packetSize) {
  auto frame = sim::receivedFrame(adapter, header, lookahead, packetSize);
  EXPECT_TRUE(frame.has_value()) << "transfer-data failed or came back short";
  if (frame) {
    frames.push_back(std::move(*frame));
  }
}

CardWorld::CardWorld(const sim::MachineSetup& setup) : world_(setup) {
  // A leak, a double release or any other broken rule fails the test.
  machine().onViolation(
      [](const std::string& what) { ADD_FAILURE() << "NDIS rule broken: " << what; });
  EXPECT_EQ(loadLinkedDriver(machine()), STATUS_SUCCESS);
}

CardWorld::~CardWorld() {
  // Adapters a test left running still sit in the driver's list.
  AdapterList = nullptr;
}

sim::card::Card& CardWorld::addCard(const sim::card::CardConfig& config, sim::PortAddress base,
                                    UINT vector) {
  sim::card::Card* card = world_.addCard(config, base, vector);
  EXPECT_NE(card, nullptr) << "ports overlap another device's";
  return *card;
}

}  // namespace kl::test
