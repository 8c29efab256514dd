#include "kl7046/register_bits.h"

#include <array>

#include "sim/card/register_table.h"

namespace kl::tools {

namespace {

using sim::card::RegisterInfo;

std::string joined(std::string text, const std::string& item) {
  if (item.empty()) {
    return text;
  }
  return text.empty() ? item : text + ", " + item;
}

std::string bitsOrNone(const RegisterInfo& info, sim::Direction direction, std::uint8_t value) {
  const std::string bits = sim::card::namedBits(info, direction, value);
  return bits.empty() ? "none" : bits;
}

// The page select, the run-state and TXP bits, and the remote-DMA command.
std::string command(const RegisterInfo& info, sim::Direction direction, std::uint8_t value) {
  static constexpr std::array<const char*, 8> kRemoteDma = {
      "no remote DMA",    "remote read",      "remote write",     "send packet",
      "abort remote DMA", "abort remote DMA", "abort remote DMA", "abort remote DMA"};
  const std::string text =
      joined("page " + std::to_string(value >> 6), sim::card::namedBits(info, direction, value));
  return joined(text, kRemoteDma[(value >> 3) & 0x07]);
}

// The loopback mode, then the bits.
std::string transmitConfiguration(const RegisterInfo& info, sim::Direction direction,
                                  std::uint8_t value) {
  static constexpr std::array<const char*, 4> kLoopback = {
      "normal", "internal loopback", "external loopback (ENDEC)", "external loopback"};
  return joined(kLoopback[(value >> 1) & 0x03], sim::card::namedBits(info, direction, value));
}

// The bits, then the FIFO threshold.
std::string dataConfiguration(const RegisterInfo& info, sim::Direction direction,
                              std::uint8_t value) {
  return bitsOrNone(info, direction, value) + ", FIFO threshold " +
         std::to_string(2 * (1 << ((value >> 5) & 0x03))) + " bytes";
}

}  // namespace

std::string describeRegister(std::string_view name, sim::Direction direction, std::uint8_t value) {
  const RegisterInfo* info = sim::card::registerNamed(name);
  if (info == nullptr || info->bits == sim::card::BitNames{}) {
    return {};
  }
  switch (info->id) {
    case sim::card::Register::Cr:
      return command(*info, direction, value);
    case sim::card::Register::Tcr:
      return transmitConfiguration(*info, direction, value);
    case sim::card::Register::Dcr:
      return dataConfiguration(*info, direction, value);
    default:
      return bitsOrNone(*info, direction, value);
  }
}

}  // namespace kl::tools
