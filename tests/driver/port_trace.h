// Port accesses as sequence tests state them: what the driver is expected to
// do at the card's ports, compared against what the bus recorded.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "sim/bus/io_bus.h"

namespace kl::test {

// The controller's port offsets and page-0/page-1 register names, as the
// hardware defines them (written out here, independently of the driver).
namespace port {
inline constexpr std::uint16_t CR = 0x00;
inline constexpr std::uint16_t PSTART = 0x01;
inline constexpr std::uint16_t PSTOP = 0x02;
inline constexpr std::uint16_t BNRY = 0x03;
inline constexpr std::uint16_t TSR = 0x04;
inline constexpr std::uint16_t ISR = 0x07;
inline constexpr std::uint16_t RSAR0 = 0x08;
inline constexpr std::uint16_t RSAR1 = 0x09;
inline constexpr std::uint16_t CRDA0 = 0x08;
inline constexpr std::uint16_t CRDA1 = 0x09;
inline constexpr std::uint16_t RBCR0 = 0x0A;
inline constexpr std::uint16_t RBCR1 = 0x0B;
inline constexpr std::uint16_t RCR = 0x0C;
inline constexpr std::uint16_t TCR = 0x0D;
inline constexpr std::uint16_t CNTR0 = 0x0D;
inline constexpr std::uint16_t DCR = 0x0E;
inline constexpr std::uint16_t CNTR1 = 0x0E;
inline constexpr std::uint16_t IMR = 0x0F;
inline constexpr std::uint16_t CNTR2 = 0x0F;
inline constexpr std::uint16_t PAR0 = 0x01;  // page 1
inline constexpr std::uint16_t CURR = 0x07;  // page 1
inline constexpr std::uint16_t MAR0 = 0x08;  // page 1
inline constexpr std::uint16_t DATA = 0x10;
}  // namespace port

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
