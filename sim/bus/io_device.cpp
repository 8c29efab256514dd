#include "sim/bus/io_device.h"

#include "sim/core/bytes.h"

namespace kl::sim {

std::uint16_t IoDevice::read16(std::uint16_t offset) {
  const std::uint8_t low = read8(offset);
  const std::uint8_t high = read8(static_cast<std::uint16_t>(offset + 1));
  return makeWord(low, high);
}

void IoDevice::write16(std::uint16_t offset, std::uint16_t value) {
  write8(offset, lowByte(value));
  write8(static_cast<std::uint16_t>(offset + 1), highByte(value));
}

void IoDevice::readString8(std::uint16_t offset, std::span<std::uint8_t> bytes) {
  for (auto& byte : bytes) {
    byte = read8(offset);
  }
}

void IoDevice::writeString8(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  for (const auto byte : bytes) {
    write8(offset, byte);
  }
}

void IoDevice::readString16(std::uint16_t offset, std::span<std::uint8_t> bytes) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const std::uint16_t word = read16(offset);
    bytes[i] = lowByte(word);
    bytes[i + 1] = highByte(word);
  }
}

void IoDevice::writeString16(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    write16(offset, makeWord(bytes[i], bytes[i + 1]));
  }
}

std::string_view IoDevice::registerName(std::uint16_t /*offset*/, Direction /*direction*/) const {
  return {};
}

}  // namespace kl::sim
