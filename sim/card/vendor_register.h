// The card's vendor register: the enable of the card's interrupt output and
// the latch that reports PHY (link) events.
#pragma once

#include <cstdint>

namespace kl::sim::card {

class VendorRegister {
 public:
  static constexpr std::uint8_t kInterruptEnable = 0x01;
  static constexpr std::uint8_t kPhyEvent = 0x02;

  [[nodiscard]] std::uint8_t read() const;
  // Bit 0 is taken as written. Bit 1 set with bit 0 clear acknowledges the
  // PHY event; any other value leaves the latch alone, so re-enabling the
  // output cannot swallow an event that came in while it was masked.
  void write(std::uint8_t value);

  void raisePhyEvent() { phyEvent_ = true; }

  [[nodiscard]] bool interruptOutputEnabled() const { return interruptEnable_; }
  [[nodiscard]] bool phyEventPending() const { return phyEvent_; }

 private:
  bool interruptEnable_ = false;
  bool phyEvent_ = false;
};

}  // namespace kl::sim::card
