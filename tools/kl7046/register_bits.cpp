#include "kl7046/register_bits.h"

#include <array>

namespace kl::tools {

namespace {

// Bit names from bit 0 up; empty where the bit means nothing to name.
using BitNames = std::array<const char*, 8>;

constexpr BitNames kInterruptBits = {"PRX", "PTX", "RXE", "TXE", "OVW", "CNT", "RDC", "RST"};
constexpr BitNames kRcrBits = {"SEP", "AR", "AB", "AM", "PRO", "MON", "", ""};
constexpr BitNames kTsrBits = {"PTX", "", "COL", "ABT", "CRS", "FU", "CDH", "OWC"};
constexpr BitNames kRsrBits = {"PRX", "CRC", "FAE", "FO", "MPA", "PHY", "DIS", "DFR"};
constexpr BitNames kDcrBits = {"WTS", "BOS", "LAS", "LS", "ARM", "", "", ""};
constexpr BitNames kVendorBits = {"interrupt output", "PHY event", "", "", "", "", "", ""};
constexpr BitNames kMiimrWriteBits = {"MDC", "MDIO out", "MDIO released", "",
                                      "",    "",         "full duplex",   ""};
constexpr BitNames kMiimrReadBits = {"MDC", "MDIO out", "MDIO released", "MDIO in",
                                     "",    "",         "full duplex",   ""};

std::string joined(std::string text, const std::string& item) {
  return text.empty() ? item : text + ", " + item;
}

std::string namedBits(const BitNames& names, std::uint8_t value) {
  std::string text;
  for (unsigned bit = 0; bit < names.size(); ++bit) {
    if ((value & (1U << bit)) != 0 && *names[bit] != '\0') {
      text = joined(text, names[bit]);
    }
  }
  return text.empty() ? "none" : text;
}

std::string command(std::uint8_t value) {
  static constexpr std::array<const char*, 8> kRemoteDma = {
      "no remote DMA",    "remote read",      "remote write",     "send packet",
      "abort remote DMA", "abort remote DMA", "abort remote DMA", "abort remote DMA"};
  std::string text = "page " + std::to_string(value >> 6);
  if ((value & 0x01) != 0) {
    text = joined(text, "STP");
  }
  if ((value & 0x02) != 0) {
    text = joined(text, "STA");
  }
  if ((value & 0x04) != 0) {
    text = joined(text, "TXP");
  }
  return joined(text, kRemoteDma[(value >> 3) & 0x07]);
}

std::string transmitConfiguration(std::uint8_t value) {
  static constexpr std::array<const char*, 4> kLoopback = {
      "normal", "internal loopback", "external loopback (ENDEC)", "external loopback"};
  std::string text = kLoopback[(value >> 1) & 0x03];
  if ((value & 0x01) != 0) {
    text = joined(text, "CRC inhibited");
  }
  if ((value & 0x08) != 0) {
    text = joined(text, "ATD");
  }
  if ((value & 0x10) != 0) {
    text = joined(text, "OFST");
  }
  return text;
}

std::string dataConfiguration(std::uint8_t value) {
  return namedBits(kDcrBits, value) + ", FIFO threshold " +
         std::to_string(2 * (1 << ((value >> 5) & 0x03))) + " bytes";
}

}  // namespace

std::string describeRegister(std::string_view name, sim::Direction direction, std::uint8_t value) {
  const bool write = direction == sim::Direction::Write;
  if (name == "CR") {
    return command(value);
  }
  if (name == "ISR" || name == "IMR") {
    return namedBits(kInterruptBits, value);
  }
  if (name == "RCR") {
    return namedBits(kRcrBits, value);
  }
  if (name == "TCR") {
    return transmitConfiguration(value);
  }
  if (name == "DCR") {
    return dataConfiguration(value);
  }
  if (name == "TSR") {
    return namedBits(kTsrBits, value);
  }
  if (name == "RSR") {
    return namedBits(kRsrBits, value);
  }
  if (name == "VENDOR") {
    return namedBits(kVendorBits, value);
  }
  if (name == "MIIMR") {
    return namedBits(write ? kMiimrWriteBits : kMiimrReadBits, value);
  }
  return {};
}

}  // namespace kl::tools
