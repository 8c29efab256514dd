#include "sim/bus/interposer.h"

#include <utility>

namespace kl::sim {

void Interposer::setHook(Hook hook) {
  hook_ = std::move(hook);
  accesses_ = 0;
}

std::uint8_t Interposer::read8(std::uint16_t offset) {
  return pass<&IoDevice::read8>(Direction::Read, offset);
}

void Interposer::write8(std::uint16_t offset, std::uint8_t value) {
  pass<&IoDevice::write8>(Direction::Write, offset, value);
}

std::uint16_t Interposer::read16(std::uint16_t offset) {
  return pass<&IoDevice::read16>(Direction::Read, offset);
}

void Interposer::write16(std::uint16_t offset, std::uint16_t value) {
  pass<&IoDevice::write16>(Direction::Write, offset, value);
}

void Interposer::readString8(std::uint16_t offset, std::span<std::uint8_t> bytes) {
  pass<&IoDevice::readString8>(Direction::Read, offset, bytes);
}

void Interposer::writeString8(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  pass<&IoDevice::writeString8>(Direction::Write, offset, bytes);
}

void Interposer::readString16(std::uint16_t offset, std::span<std::uint8_t> bytes) {
  pass<&IoDevice::readString16>(Direction::Read, offset, bytes);
}

void Interposer::writeString16(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  pass<&IoDevice::writeString16>(Direction::Write, offset, bytes);
}

std::string_view Interposer::registerName(std::uint16_t offset, Direction direction) const {
  return device_.registerName(offset, direction);
}

}  // namespace kl::sim
