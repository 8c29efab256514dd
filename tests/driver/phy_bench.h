// The driver's PHY management against the card model: a card with a PHY
// part (or none) on its management bus, joined to a scripted link partner,
// and an Adapter record set up by hand as bring-up leaves it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "driver/adapter.h"
#include "sim/card/card.h"
#include "sim/card/phy/link_partner.h"
#include "sim/card/phy/link_segment.h"
#include "sim/host/machine.h"
#include "tests/driver/port_trace.h"

namespace kl::test {

// Every frame on the card's management bus, as the PHY saw it.
class MiiFrameLog final : public sim::card::MiiObserver {
 public:
  void frameDecoded(const sim::card::MiiFrame& frame) override { frames.push_back(frame); }
  [[nodiscard]] std::vector<sim::card::MiiFrame> answered() const {
    std::vector<sim::card::MiiFrame> result;
    for (const auto& frame : frames) {
      if (frame.answered) {
        result.push_back(frame);
      }
    }
    return result;
  }
  std::vector<sim::card::MiiFrame> frames;
};

struct PhyBench {
  explicit PhyBench(
      const sim::card::CardConfig& config = {},
      const sim::card::LinkSignal& partnerSignal = sim::card::LinkSignal::negotiating(0x01E1))
      : card(machine.clock(), config), partner(partnerSignal) {
    machine.bus().attach(kIoBase, sim::card::Card::kPortCount, card);
    if (card.phy() != nullptr) {
      segment.emplace(machine.clock(), *card.phy(), partner, card.timing());
    }
    card.mii().setObserver(&log);
    adapter.IoPort = reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(kIoBase));
    adapter.MiniportHandle = machine.addAdapter().handle();
  }

  // Runs the world until the PHY has powered up and negotiated, as it has
  // when the driver comes to a card that has been in its slot a while.
  void settle() { machine.runFor(std::chrono::seconds(5)); }
  // The PHY's view of the link.
  [[nodiscard]] const sim::card::LinkResult& link() { return card.phy()->link(); }
  [[nodiscard]] std::chrono::microseconds elapsed() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(machine.now());
  }
  // Frames seen from now on only.
  void forgetFrames() { log.frames.clear(); }

  MiiFrameLog log;  // outlives the card, which reports to it
  sim::Machine machine;
  sim::card::Card card;
  sim::card::LinkPartner partner;
  std::optional<sim::card::LinkSegment> segment;
  Adapter adapter{};
};

}  // namespace kl::test
