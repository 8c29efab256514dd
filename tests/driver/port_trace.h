// Port accesses as sequence tests state them: what the driver is expected to
// do at the card's ports, compared against what the bus recorded.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "sim/bus/io_bus.h"
#include "support/card_ports.h"

namespace kl::test {

inline constexpr std::uint32_t kIoBase = 0x300;

struct Access {
  sim::Direction direction = sim::Direction::Read;
  std::uint16_t offset = 0;
  std::uint8_t width = 1;
  std::uint16_t value = 0;  // for a string transfer, its first element
  std::uint32_t count = 1;  // elements of a string transfer

  friend bool operator==(const Access&, const Access&) = default;
};

std::ostream& operator<<(std::ostream& out, const Access& access);

inline Access Rd(std::uint16_t offset, std::uint8_t value) {
  return {sim::Direction::Read, offset, 1, value, 1};
}
inline Access Wr(std::uint16_t offset, std::uint8_t value) {
  return {sim::Direction::Write, offset, 1, value, 1};
}
inline Access Rd16(std::uint16_t offset, std::uint16_t value) {
  return {sim::Direction::Read, offset, 2, value, 1};
}
inline Access Wr16(std::uint16_t offset, std::uint16_t value) {
  return {sim::Direction::Write, offset, 2, value, 1};
}
// String transfers: `count` elements of `width` bytes, the first being `first`.
inline Access RdString(std::uint8_t width, std::uint32_t count, std::uint16_t first) {
  return {sim::Direction::Read, port::DATA, width, first, count};
}
inline Access WrString(std::uint8_t width, std::uint32_t count, std::uint16_t first) {
  return {sim::Direction::Write, port::DATA, width, first, count};
}

// The five writes that load a remote-DMA channel: address, count, command.
std::vector<Access> RemoteDmaSetup(std::uint16_t address, std::uint16_t count,
                                   std::uint8_t command);

// Appends `tail` to `head`.
void Append(std::vector<Access>& head, const std::vector<Access>& tail);

// The bus trace as Access records, in order.
std::vector<Access> Observed(const sim::IoBus& bus);

}  // namespace kl::test
