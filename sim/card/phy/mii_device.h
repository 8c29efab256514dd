// A device on the MII management bus, as the frame decoder reaches it: a
// register file of 32 16-bit registers.
#pragma once

#include <cstdint>

namespace kl::sim::card {

class MiiDevice {
 public:
  MiiDevice() = default;
  MiiDevice(const MiiDevice&) = delete;
  MiiDevice& operator=(const MiiDevice&) = delete;
  virtual ~MiiDevice() = default;

  // A read frame addressed `reg`; reads may have side effects (latched bits).
  virtual std::uint16_t readRegister(std::uint8_t reg) = 0;
  virtual void writeRegister(std::uint8_t reg, std::uint16_t value) = 0;
};

}  // namespace kl::sim::card
