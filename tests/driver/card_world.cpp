#include "tests/driver/card_world.h"

#include <algorithm>
#include <utility>

#include "driver/driver_entry.h"
#include "sim/host/packet.h"

namespace kl::test {

void RecordingProtocol::sendComplete(sim::MiniportAdapter& /*adapter*/, NDIS_PACKET& packet,
                                     NDIS_STATUS status) {
  completions[&packet].push_back(status);
}

void RecordingProtocol::receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
                                std::span<const std::uint8_t> lookahead, UINT packetSize) {
  std::vector<std::uint8_t> frame(header.begin(), header.end());
  if (lookahead.size() == packetSize) {
    frame.insert(frame.end(), lookahead.begin(), lookahead.end());
  } else {
    auto rest = sim::Packet::withSpace(packetSize);
    UINT transferred = 0;
    EXPECT_EQ(adapter.transferData(rest->ndis(), 0, packetSize, transferred), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(transferred, packetSize);
    const std::vector<std::uint8_t> bytes = rest->bytes();
    frame.insert(frame.end(), bytes.begin(), bytes.begin() + transferred);
  }
  frames.push_back(std::move(frame));
}

CardWorld::CardWorld(unsigned processors)
    : machine_(sim::MachineSetup{.processorCount = processors}) {
  // A leak, a double release or any other broken rule fails the test.
  machine_.onViolation(
      [](const std::string& what) { ADD_FAILURE() << "NDIS rule broken: " << what; });
  EXPECT_EQ(machine_.loadDriver(&DriverEntry), STATUS_SUCCESS);
}

CardWorld::~CardWorld() {
  // Adapters a test left running still sit in the driver's list.
  AdapterList = nullptr;
}

sim::card::Card& CardWorld::addCard(const sim::card::CardConfig& config, sim::PortAddress base,
                                    UINT vector) {
  CardSlot slot;
  slot.card = std::make_unique<sim::card::Card>(machine_.clock(), config);
  slot.interposer = std::make_unique<sim::Interposer>(*slot.card);
  EXPECT_TRUE(machine_.bus().attach(base, sim::card::Card::kPortCount, *slot.interposer));
  machine_.wireInterrupt(vector, *slot.card);
  slots_.push_back(std::move(slot));
  return *slots_.back().card;
}

sim::MiniportAdapter& CardWorld::addAdapter(sim::AdapterSetup setup) {
  return machine_.addAdapter(std::move(setup));
}

}  // namespace kl::test
