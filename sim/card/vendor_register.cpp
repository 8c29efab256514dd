#include "sim/card/vendor_register.h"

namespace kl::sim::card {

std::uint8_t VendorRegister::read() const {
  return static_cast<std::uint8_t>((interruptEnable_ ? kInterruptEnable : 0) |
                                   (phyEvent_ ? kPhyEvent : 0));
}

void VendorRegister::write(std::uint8_t value) {
  interruptEnable_ = (value & kInterruptEnable) != 0;
  if ((value & (kPhyEvent | kInterruptEnable)) == kPhyEvent) {
    phyEvent_ = false;
  }
}

}  // namespace kl::sim::card
