// A machine with the driver loaded and KL7046 cards on its bus, as a test
// brings adapters up on it through NDIS.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/adapter.h"
#include "sim/host/machine.h"
#include "sim/host/protocol.h"
#include "sim/world/card_world.h"

namespace kl::test {

// A protocol that keeps every completion and every frame it is given.
class RecordingProtocol final : public sim::Protocol {
 public:
  void sendComplete(sim::MiniportAdapter& adapter, NDIS_PACKET& packet,
                    NDIS_STATUS status) override;
  void receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> lookahead, UINT packetSize) override;
  void receiveComplete(sim::MiniportAdapter& /*adapter*/) override {}

  // Every status each packet was completed with, in order.
  std::map<const NDIS_PACKET*, std::vector<NDIS_STATUS>> completions;
  // Whole frames as received, header first (fetched with transfer-data when
  // the lookahead did not hold them).
  std::vector<std::vector<std::uint8_t>> frames;
};

// The machine of sim::world::CardWorld with the linked driver loaded, where
// a broken NDIS rule fails the test.
class CardWorld {
 public:
  explicit CardWorld(const sim::MachineSetup& setup = {});
  CardWorld(const CardWorld&) = delete;
  CardWorld& operator=(const CardWorld&) = delete;
  ~CardWorld();

  [[nodiscard]] sim::Machine& machine() { return world_.machine(); }

  // A card at an I/O base with its interrupt line on a vector, behind an
  // interposer through which the test can act at any of its port accesses.
  sim::card::Card& addCard(const sim::card::CardConfig& config, sim::PortAddress base = 0x300,
                           UINT vector = 3);
  [[nodiscard]] sim::Interposer& interposer(std::size_t card = 0) {
    return world_.interposer(card);
  }

  // An adapter block for the installation's settings.
  sim::MiniportAdapter& addAdapter(sim::AdapterSetup setup = {}) {
    return world_.addAdapter(std::move(setup));
  }

  // The driver's record of an initialised adapter.
  static Adapter& record(const sim::MiniportAdapter& adapter) {
    return *static_cast<Adapter*>(adapter.context());
  }

 private:
  sim::world::CardWorld world_;
};

}  // namespace kl::test
