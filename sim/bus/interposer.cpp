#include "sim/bus/interposer.h"

#include <utility>

namespace kl::sim {

void Interposer::setHook(Hook hook) {
  hook_ = std::move(hook);
  accesses_ = 0;
}

void Interposer::before(std::uint16_t offset, Direction direction) {
  const std::uint64_t access = accesses_++;
  if (hook_) {
    hook_(access, offset, direction);
  }
}

std::uint8_t Interposer::read8(std::uint16_t offset) {
  before(offset, Direction::Read);
  return device_.read8(offset);
}

void Interposer::write8(std::uint16_t offset, std::uint8_t value) {
  before(offset, Direction::Write);
  device_.write8(offset, value);
}

std::uint16_t Interposer::read16(std::uint16_t offset) {
  before(offset, Direction::Read);
  return device_.read16(offset);
}

void Interposer::write16(std::uint16_t offset, std::uint16_t value) {
  before(offset, Direction::Write);
  device_.write16(offset, value);
}

void Interposer::readString8(std::uint16_t offset, std::span<std::uint8_t> bytes) {
  before(offset, Direction::Read);
  device_.readString8(offset, bytes);
}

void Interposer::writeString8(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  before(offset, Direction::Write);
  device_.writeString8(offset, bytes);
}

void Interposer::readString16(std::uint16_t offset, std::span<std::uint8_t> bytes) {
  before(offset, Direction::Read);
  device_.readString16(offset, bytes);
}

void Interposer::writeString16(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  before(offset, Direction::Write);
  device_.writeString16(offset, bytes);
}

std::string_view Interposer::registerName(std::uint16_t offset, Direction direction) const {
  return device_.registerName(offset, direction);
}

}  // namespace kl::sim
