// What a device on the simulated I/O bus looks like from the bus side.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kl::sim {

enum class Direction : std::uint8_t { Read, Write };

// A device that decodes a range of I/O ports. Offsets are relative to the
// start of the range the device was attached at.
//
// 16-bit cycles default to two byte cycles at the offset and the offset + 1,
// which is what the bus does for a device that does not claim the cycle as
// 16 bits wide. String transfers reach the device as one call; the defaults
// repeat the single-cycle operation, and a device overrides them where it can
// move the data faster.
class IoDevice {
 public:
  IoDevice() = default;
  IoDevice(const IoDevice&) = delete;
  IoDevice& operator=(const IoDevice&) = delete;
  virtual ~IoDevice() = default;

  virtual std::uint8_t read8(std::uint16_t offset) = 0;
  virtual void write8(std::uint16_t offset, std::uint8_t value) = 0;

  virtual std::uint16_t read16(std::uint16_t offset);
  virtual void write16(std::uint16_t offset, std::uint16_t value);

  // `bytes` holds the data in bus order: for 16-bit strings, each word's low
  // byte comes first.
  virtual void readString8(std::uint16_t offset, std::span<std::uint8_t> bytes);
  virtual void writeString8(std::uint16_t offset, std::span<const std::uint8_t> bytes);
  virtual void readString16(std::uint16_t offset, std::span<std::uint8_t> bytes);
  virtual void writeString16(std::uint16_t offset, std::span<const std::uint8_t> bytes);

  // The register an access at `offset` reaches right now (it may depend on a
  // selected register page), for decoded traces. Empty when unnamed.
  [[nodiscard]] virtual std::string_view registerName(std::uint16_t offset,
                                                      Direction direction) const;

  // For a device placed in front of another on the bus, the one behind it;
  // null for a device that answers its ports itself.
  [[nodiscard]] virtual IoDevice* deviceBehind() const { return nullptr; }
};

// A level-sensitive interrupt request line driven by a device. The device
// announces every change of the level it makes (it may announce more often
// than that); the one listening to the line reads the level when told, and
// keeps reading it while it stays asserted, but need not look at it between
// announcements. A line that goes (its card pulled from a rig, say) tells its
// listener, so that nothing reads it afterwards.
class InterruptSource {
 public:
  class Listener {
   public:
    virtual void lineMayHaveChanged() = 0;
    virtual void lineGone() = 0;

   protected:
    Listener() = default;
    Listener(const Listener&) = default;
    Listener& operator=(const Listener&) = default;
    ~Listener() = default;
  };

  InterruptSource() = default;
  InterruptSource(const InterruptSource&) = delete;
  InterruptSource& operator=(const InterruptSource&) = delete;
  virtual ~InterruptSource() {
    if (listener_ != nullptr) {
      listener_->lineGone();
    }
  }

  [[nodiscard]] virtual bool interruptAsserted() const = 0;

  // One listener at a time; none: nullptr.
  void listen(Listener* listener) { listener_ = listener; }

 protected:
  void announce() const {
    if (listener_ != nullptr) {
      listener_->lineMayHaveChanged();
    }
  }

 private:
  Listener* listener_ = nullptr;
};

}  // namespace kl::sim
