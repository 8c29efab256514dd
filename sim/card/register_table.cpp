#include "sim/card/register_table.h"

#include <cstdio>

namespace kl::sim::card {

std::string missingRegister(std::uint8_t page, std::uint8_t offset, Direction direction) {
  const bool read = direction == Direction::Read;
  char where[40];
  std::snprintf(where, sizeof where, "page %u, offset 0x%02X", static_cast<unsigned>(page),
                static_cast<unsigned>(offset));
  const Direction other = read ? Direction::Write : Direction::Read;
  if (const RegisterInfo* info = findRegister(page, offset, other)) {
    return std::string(read ? "a read of " : "a write of ") + std::string(info->name) + " (" +
           where + "), which is " + (read ? "write-only" : "read-only");
  }
  return std::string(read ? "a read at " : "a write at ") + where + ", where no register is";
}

std::string namedBits(const RegisterInfo& info, Direction direction, std::uint8_t value) {
  const std::uint8_t named =
      direction == Direction::Write ? static_cast<std::uint8_t>(value & ~info.readOnlyMask) : value;
  std::string text;
  for (std::size_t bit = 0; bit < info.bits.size(); ++bit) {
    if ((named & (1U << bit)) != 0 && !info.bits[bit].empty()) {
      text += (text.empty() ? "" : ", ") + std::string(info.bits[bit]);
    }
  }
  return text;
}

}  // namespace kl::sim::card
