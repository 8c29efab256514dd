// The controller's receiver: address recognition, the receive-error tallies,
// and the local DMA that stores an accepted frame in the receive ring behind
// its 4-byte header.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/card/card_faults.h"
#include "sim/card/card_memory.h"
#include "sim/card/tally_counters.h"
#include "sim/net/station.h"

namespace kl::sim::card {

// The registers that decide whether and where a frame is stored.
struct ReceiveSetup {
  std::uint8_t rcr = 0;
  std::array<std::uint8_t, 6> par{};
  std::array<std::uint8_t, 8> mar{};
  std::uint8_t pstart = 0;
  std::uint8_t pstop = 0;
  std::uint8_t bnry = 0;
  std::uint8_t curr = 0;
};

// What one frame did to the controller.
struct Reception {
  bool recognised = false;  // addressed to this station; RSR then holds `rsr`
  std::uint8_t rsr = 0;
  std::uint8_t isr = 0;  // status bits to latch
  std::optional<Tally> tally;
  std::uint8_t curr = 0;  // CURR afterwards
};

class ReceiveEngine {
 public:
  // The ring header ahead of every stored frame.
  static constexpr std::size_t kHeaderBytes = 4;

  ReceiveEngine(CardMemory& memory, CardFaults& faults) : memory_(memory), faults_(faults) {}

  // A frame arrived from the wire while the controller runs on it.
  Reception receive(const net::WireFrame& frame, const ReceiveSetup& setup);

  // Once the ring has overflowed the receiver stores nothing until the
  // controller is stopped; it starts afresh from there.
  void stop() { overflowed_ = false; }
  [[nodiscard]] bool overflowed() const { return overflowed_; }

 private:
  // The page after `page`, wrapping from PSTOP to PSTART.
  static std::uint8_t nextPage(std::uint8_t page, const ReceiveSetup& setup);
  // The page after the last one a frame of `pages` pages from CURR fills, or
  // nothing when the frame would reach BNRY.
  static std::optional<std::uint8_t> pageAfter(std::size_t pages, const ReceiveSetup& setup);
  void store(std::span<const std::uint8_t> header, std::span<const std::uint8_t> frame,
             const ReceiveSetup& setup);
  // Failing RAM under the frame just stored at `page`.
  void corruptStored(std::uint8_t page);

  CardMemory& memory_;
  CardFaults& faults_;
  bool overflowed_ = false;
};

// Whether the controller's address recognition takes a frame for
// `destination`: the station address (or any with PRO), broadcast with AB,
// a multicast address whose hash bit is set in MAR with AM.
[[nodiscard]] bool addressRecognised(std::span<const std::uint8_t> destination,
                                     const ReceiveSetup& setup);

}  // namespace kl::sim::card
