// An adapter set up by hand as bring-up leaves it, on the card model, with
// the driver loaded and its interrupt registered, so that information
// requests go through NDIS exactly as a bound protocol makes them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "driver/adapter.h"
#include "sim/bus/io_device.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"

namespace kl::test {

inline constexpr std::uint32_t kInfoIoBase = 0x300;
inline constexpr UINT kInfoVector = 10;

using MacAddress = std::array<std::uint8_t, 6>;
using MarBytes = std::array<std::uint8_t, 8>;

// Passes every access on to the card and notes, for each byte write, whether
// the processor was at device level (holding the interrupt's lock) when it
// was made.
class LevelRecorder final : public sim::IoDevice {
 public:
  LevelRecorder(sim::IoDevice& device, const sim::Processor& processor)
      : device_(device), processor_(processor) {}

  std::uint8_t read8(std::uint16_t offset) override { return device_.read8(offset); }
  void write8(std::uint16_t offset, std::uint8_t value) override {
    writesAtDeviceLevel_.push_back(processor_.atDeviceLevel());
    device_.write8(offset, value);
  }
  std::uint16_t read16(std::uint16_t offset) override { return device_.read16(offset); }
  void write16(std::uint16_t offset, std::uint16_t value) override {
    device_.write16(offset, value);
  }
  void readString8(std::uint16_t offset, std::span<std::uint8_t> bytes) override {
    device_.readString8(offset, bytes);
  }
  void writeString8(std::uint16_t offset, std::span<const std::uint8_t> bytes) override {
    device_.writeString8(offset, bytes);
  }
  void readString16(std::uint16_t offset, std::span<std::uint8_t> bytes) override {
    device_.readString16(offset, bytes);
  }
  void writeString16(std::uint16_t offset, std::span<const std::uint8_t> bytes) override {
    device_.writeString16(offset, bytes);
  }
  [[nodiscard]] std::string_view registerName(std::uint16_t offset,
                                              sim::Direction direction) const override {
    return device_.registerName(offset, direction);
  }
  [[nodiscard]] sim::IoDevice* deviceBehind() const override { return &device_; }

  // Byte writes since the last call, each with whether it ran at device level.
  std::vector<bool> takeWrites() { return std::exchange(writesAtDeviceLevel_, {}); }

 private:
  sim::IoDevice& device_;
  const sim::Processor& processor_;
  std::vector<bool> writesAtDeviceLevel_;
};

class InfoBench {
 public:
  // Values the bench's record holds, so every answer differs from the others.
  static constexpr MacAddress kPermanent = {0x00, 0x60, 0x8C, 0x12, 0x34, 0x56};
  static constexpr MacAddress kCurrent = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

  InfoBench();
  InfoBench(const InfoBench&) = delete;
  InfoBench& operator=(const InfoBench&) = delete;

  NDIS_STATUS query(NDIS_OID oid, std::span<std::uint8_t> buffer, ULONG& written, ULONG& needed) {
    return host_->query(oid, buffer, written, needed);
  }
  NDIS_STATUS set(NDIS_OID oid, std::span<std::uint8_t> buffer, ULONG& read, ULONG& needed) {
    return host_->set(oid, buffer, read, needed);
  }
  // A set whose out-parameters the caller does not look at.
  NDIS_STATUS set(NDIS_OID oid, std::vector<std::uint8_t> value);
  NDIS_STATUS setPacketFilter(ULONG filter);
  NDIS_STATUS setMulticastList(const std::vector<MacAddress>& groups);

  [[nodiscard]] Adapter& adapter() { return adapter_; }
  [[nodiscard]] sim::card::Card& card() { return card_; }
  [[nodiscard]] sim::Machine& machine() { return machine_; }
  [[nodiscard]] LevelRecorder& levels() { return levels_; }
  [[nodiscard]] std::uint8_t rcr() const { return card_.controller().rcr(); }
  [[nodiscard]] MarBytes mar() const { return card_.controller().multicastFilter(); }

  // The record's bytes, to show that a request changed no field.
  [[nodiscard]] std::vector<std::uint8_t> recordBytes() const;

 private:
  sim::Machine machine_;
  sim::card::Card card_{machine_.clock()};
  LevelRecorder levels_{card_, machine_.processor()};
  sim::MiniportAdapter* host_ = nullptr;
  Adapter adapter_{};
};

// A 32-bit value as the little-endian bytes of an answer or a set buffer.
std::vector<std::uint8_t> Le32(std::uint32_t value);

}  // namespace kl::test
