// The machine's I/O port space: which device answers which port, and an
// optional record of every access.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "sim/bus/io_device.h"
#include "sim/core/clock.h"

namespace kl::sim {

using PortAddress = std::uint32_t;

// How long one bus cycle takes, by its width: a string transfer takes one
// cycle per element. Zero is an ideal bus, whose accesses take no time.
struct BusCycleTimes {
  Duration byteCycle{};
  Duration wordCycle{};
  [[nodiscard]] bool ideal() const { return byteCycle == Duration{} && wordCycle == Duration{}; }
};

// One recorded access. A string transfer is one record whose `count` is the
// number of elements moved; `value` is then the first element.
struct PortAccess {
  VirtualTime time{};
  PortAddress port = 0;
  std::uint16_t offset = 0;  // from the start of the device's range
  std::uint8_t width = 1;    // bytes per element: 1 or 2
  Direction direction = Direction::Read;
  std::uint16_t value = 0;
  std::uint32_t count = 1;
  std::string_view name;  // register reached, as the device decoded it then
};

class IoBus {
 public:
  static constexpr std::uint8_t kFloatingByte = 0xFF;  // nothing drives the data lines

  explicit IoBus(const Clock& clock) : clock_(clock) {}

  // Returns false, attaching nothing, when the range overlaps another device's.
  bool attach(PortAddress base, std::uint32_t length, IoDevice& device);
  void detach(const IoDevice& device);
  // The device that decodes `port`, if any.
  [[nodiscard]] IoDevice* deviceAt(PortAddress port) const { return decode(port).device; }

  // Called after every access, once the device has seen it, with the time
  // its cycles took (which the bus does not spend itself: its clock is not
  // its own to move).
  void setAccessObserver(std::function<void(Duration cycles)> observer) {
    observer_ = std::move(observer);
  }
  void setCycleTimes(const BusCycleTimes& times) { cycleTimes_ = times; }

  std::uint8_t read8(PortAddress port);
  std::uint16_t read16(PortAddress port);
  void write8(PortAddress port, std::uint8_t value);
  void write16(PortAddress port, std::uint16_t value);
  void readString8(PortAddress port, std::span<std::uint8_t> bytes);
  void readString16(PortAddress port, std::span<std::uint8_t> bytes);
  void writeString8(PortAddress port, std::span<const std::uint8_t> bytes);
  void writeString16(PortAddress port, std::span<const std::uint8_t> bytes);

  void startTrace() { tracing_ = true; }
  // Accesses made since the bus was built, a string transfer counting once.
  [[nodiscard]] std::uint64_t accessCount() const { return accesses_; }
  void stopTrace() { tracing_ = false; }
  void clearTrace() { trace_.clear(); }
  [[nodiscard]] const std::vector<PortAccess>& trace() const { return trace_; }

 private:
  struct Mapping {
    PortAddress base;
    std::uint32_t length;
    IoDevice* device;
  };
  struct Target {
    IoDevice* device;
    std::uint16_t offset;
  };

  // A driver works one device's ports at a time, so the device the last
  // access reached is looked at first, inline.
  [[nodiscard]] Target decode(PortAddress port) const {
    if (lastHit_ != nullptr && port - lastHit_->base < lastHit_->length) [[likely]] {
      return Target{lastHit_->device, static_cast<std::uint16_t>(port - lastHit_->base)};
    }
    return decodeAnew(port);
  }
  [[nodiscard]] Target decodeAnew(PortAddress port) const;
  void record(PortAddress port, const Target& target, std::uint8_t width, Direction direction,
              std::uint32_t count);
  template <class Operation>
  void perform(PortAddress port, std::uint8_t width, Direction direction, std::uint32_t count,
               Operation operation);
  void accessed(std::uint8_t width, std::uint32_t count) const;

  const Clock& clock_;
  std::uint64_t accesses_ = 0;
  std::vector<Mapping> mappings_;
  mutable const Mapping* lastHit_ = nullptr;
  BusCycleTimes cycleTimes_;
  std::function<void(Duration)> observer_;
  bool tracing_ = false;
  std::vector<PortAccess> trace_;
};

}  // namespace kl::sim
