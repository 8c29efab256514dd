// What hangs on the controller's MII management lines, MDC and MDIO, which
// the host drives and samples through MIIMR.
#pragma once

#include <cstdint>

namespace kl::sim::card {

class MiiPort {
 public:
  MiiPort() = default;
  MiiPort(const MiiPort&) = delete;
  MiiPort& operator=(const MiiPort&) = delete;
  virtual ~MiiPort() = default;

  // The host wrote MIIMR: bit 0 is the MDC level, bit 1 the MDIO level the
  // host drives, bit 2 set while the host releases MDIO.
  virtual void drive(std::uint8_t miimr) = 0;

  // The MDIO level the host samples in bit 3 of MIIMR.
  [[nodiscard]] virtual bool mdio() const = 0;
};

}  // namespace kl::sim::card
