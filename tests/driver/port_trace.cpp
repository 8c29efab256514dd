#include "tests/driver/port_trace.h"

#include <iomanip>

namespace kl::test {

std::ostream& operator<<(std::ostream& out, const Access& access) {
  const std::ios_base::fmtflags flags = out.flags();
  out << (access.direction == sim::Direction::Read ? "read" : "write") << (access.width * 8)
      << " @0x" << std::hex << std::setw(2) << std::setfill('0') << access.offset << " = 0x"
      << std::setw(access.width * 2) << access.value;
  if (access.count != 1) {
    out << std::dec << " x" << access.count;
  }
  out.flags(flags);
  return out;
}

std::vector<Access> RemoteDmaSetup(std::uint16_t address, std::uint16_t count,
                                   std::uint8_t command) {
  return {
      Wr(port::RSAR0, static_cast<std::uint8_t>(address)),
      Wr(port::RSAR1, static_cast<std::uint8_t>(address >> 8)),
      Wr(port::RBCR0, static_cast<std::uint8_t>(count)),
      Wr(port::RBCR1, static_cast<std::uint8_t>(count >> 8)),
      Wr(port::CR, command),
  };
}

void Append(std::vector<Access>& head, const std::vector<Access>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
}

std::vector<Access> Observed(const sim::IoBus& bus) {
  std::vector<Access> accesses;
  accesses.reserve(bus.trace().size());
  for (const sim::PortAccess& access : bus.trace()) {
    accesses.push_back({access.direction, access.offset, access.width, access.value, access.count});
  }
  return accesses;
}

}  // namespace kl::test
