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
#include "sim/bus/interposer.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"
#include "sim/host/protocol.h"

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

// A card at an I/O base with its interrupt line on a vector, behind an
// interposer through which the test can act at any of its port accesses.
struct CardSlot {
  std::unique_ptr<sim::card::Card> card;
  std::unique_ptr<sim::Interposer> interposer;
};

class CardWorld {
 public:
  explicit CardWorld(unsigned processors = 1);
  CardWorld(const CardWorld&) = delete;
  CardWorld& operator=(const CardWorld&) = delete;
  ~CardWorld();

  [[nodiscard]] sim::Machine& machine() { return machine_; }

  sim::card::Card& addCard(const sim::card::CardConfig& config, sim::PortAddress base = 0x300,
                           UINT vector = 3);
  [[nodiscard]] sim::Interposer& interposer(std::size_t card = 0) {
    return *slots_.at(card).interposer;
  }

  // An adapter block for the installation's settings.
  sim::MiniportAdapter& addAdapter(sim::AdapterSetup setup = {});

  // The driver's record of an initialised adapter.
  static Adapter& record(const sim::MiniportAdapter& adapter) {
    return *static_cast<Adapter*>(adapter.context());
  }

 private:
  sim::Machine machine_;
  std::vector<CardSlot> slots_;  // given up before the machine
};

}  // namespace kl::test
