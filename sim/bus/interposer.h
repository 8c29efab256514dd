// A device placed in front of another on the bus: every access reaches the
// device behind unchanged, once a hook has seen it. It lets a test act at one
// exact port access of the driver: raise an event, inject a fault.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "sim/bus/io_device.h"

namespace kl::sim {

class Interposer final : public IoDevice {
 public:
  // Called before each access with its number, counted from 0 since the hook
  // was set (a string transfer is one access, as the bus records it), the
  // offset it is made at and its direction.
  using Hook = std::function<void(std::uint64_t access, std::uint16_t offset, Direction direction)>;

  explicit Interposer(IoDevice& device) : device_(device) {}

  void setHook(Hook hook);
  void clearHook() { setHook({}); }
  [[nodiscard]] std::uint64_t accesses() const { return accesses_; }

  std::uint8_t read8(std::uint16_t offset) override;
  void write8(std::uint16_t offset, std::uint8_t value) override;
  std::uint16_t read16(std::uint16_t offset) override;
  void write16(std::uint16_t offset, std::uint16_t value) override;
  void readString8(std::uint16_t offset, std::span<std::uint8_t> bytes) override;
  void writeString8(std::uint16_t offset, std::span<const std::uint8_t> bytes) override;
  void readString16(std::uint16_t offset, std::span<std::uint8_t> bytes) override;
  void writeString16(std::uint16_t offset, std::span<const std::uint8_t> bytes) override;
  [[nodiscard]] std::string_view registerName(std::uint16_t offset,
                                              Direction direction) const override;
  [[nodiscard]] IoDevice* deviceBehind() const override { return &device_; }

 private:
  // Counts the access and passes it on to the device behind with `method`;
  // with a hook set, the whole of it goes out of line, so that an access
  // with none costs a count, a test and the call.
  template <auto Method, class... Args>
  decltype(auto) pass(Direction direction, std::uint16_t offset, Args... args) {
    const std::uint64_t access = accesses_++;
    if (hook_) [[unlikely]] {
      return passHooked<Method>(access, direction, offset, args...);
    }
    return (device_.*Method)(offset, args...);
  }
  template <auto Method, class... Args>
  [[gnu::cold, gnu::noinline]] decltype(auto) passHooked(std::uint64_t access, Direction direction,
                                                         std::uint16_t offset, Args... args) {
    hook_(access, offset, direction);
    return (device_.*Method)(offset, args...);
  }

  IoDevice& device_;
  Hook hook_;
  std::uint64_t accesses_ = 0;
};

}  // namespace kl::sim
