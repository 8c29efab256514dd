// A value change dump of the MII management lines, as GTKWave opens it: MDC,
// MDIO as the host drives it, MDIO as the PHY drives it ('z' while each lets
// go), and the line itself, on the virtual clock in nanoseconds.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>

#include "sim/card/phy/mii_bus.h"
#include "sim/core/clock.h"

namespace kl::tools {

class VcdWriter final : public sim::card::MiiObserver {
 public:
  // Throws std::runtime_error when the file cannot be written.
  VcdWriter(const std::filesystem::path& path, const sim::Clock& clock);

  void linesChanged(const sim::card::MiiLines& lines) override;

 private:
  void change(char id, char value, char& last);

  std::ofstream out_;
  const sim::Clock& clock_;
  std::optional<sim::VirtualTime> stamped_;
  char mdc_ = 'x';
  char host_ = 'x';
  char phy_ = 'x';
  char line_ = 'x';
};

}  // namespace kl::tools
