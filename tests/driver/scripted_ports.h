// A port double for sequence tests: it accepts every write and answers each
// read from a per-offset script, then from a standing value once the script
// is used up. The bus trace records what the driver did.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>

#include "sim/bus/io_device.h"

namespace kl::test {

class ScriptedPorts final : public sim::IoDevice {
 public:
  // Byte reads of `offset` answer `values` in turn, then the standing value.
  void script(std::uint16_t offset, std::initializer_list<std::uint8_t> values);
  void standing(std::uint16_t offset, std::uint8_t value) { standing_[offset] = value; }

  // The same for 16-bit reads (string reads included, one word each).
  void scriptWords(std::uint16_t offset, std::initializer_list<std::uint16_t> values);
  void standingWord(std::uint16_t offset, std::uint16_t value) { standingWords_[offset] = value; }

  std::uint8_t read8(std::uint16_t offset) override;
  void write8(std::uint16_t /*offset*/, std::uint8_t /*value*/) override {}
  std::uint16_t read16(std::uint16_t offset) override;
  void write16(std::uint16_t /*offset*/, std::uint16_t /*value*/) override {}

 private:
  std::map<std::uint16_t, std::deque<std::uint8_t>> scripts_;
  std::map<std::uint16_t, std::uint8_t> standing_;
  std::map<std::uint16_t, std::deque<std::uint16_t>> wordScripts_;
  std::map<std::uint16_t, std::uint16_t> standingWords_;
};

}  // namespace kl::test
