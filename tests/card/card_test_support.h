// Helpers for driving a card model from the bus side, as the driver does.
#pragma once

#include <concepts>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/bus/io_device.h"
#include "sim/card/card.h"
#include "sim/card/timing.h"
#include "sim/core/clock.h"
#include "support/card_ports.h"

namespace kl::sim::card::test {

namespace port = kl::test::port;

// Command and status values as the register map documents them.
namespace cr {
inline constexpr std::uint8_t kStopAbort = 0x21;
inline constexpr std::uint8_t kStartAbort = 0x22;
inline constexpr std::uint8_t kRemoteRead = 0x0A;
inline constexpr std::uint8_t kRemoteWrite = 0x12;
inline constexpr std::uint8_t kPage1Start = 0x62;
inline constexpr std::uint8_t kPage3Start = 0xC2;
}  // namespace cr

namespace isr {
inline constexpr std::uint8_t kPrx = 0x01;
inline constexpr std::uint8_t kPtx = 0x02;
inline constexpr std::uint8_t kOvw = 0x10;
inline constexpr std::uint8_t kCnt = 0x20;
inline constexpr std::uint8_t kRdc = 0x40;
inline constexpr std::uint8_t kRst = 0x80;
}  // namespace isr

inline constexpr std::uint8_t kDcrByteWide = 0x48;
inline constexpr std::uint8_t kDcrWordWide = 0x49;

// Names parameterised cases after their table row's `name`.
struct CaseName {
  template <typename Case>
  std::string operator()(const testing::TestParamInfo<Case>& row) const {
    return row.param.name;
  }
};

// Prints a table row as its name when a parameterised case fails. A test
// file brings it in with `using test::PrintTo;` beside its rows.
template <typename Case>
requires requires(const Case& row) {
  { row.name } -> std::convertible_to<std::string>;
}
void PrintTo(const Case& row, std::ostream* out) { *out << row.name; }

// Listens to a card's interrupt line as the host does: the level it heard
// is the one it read when the card last announced a change.
class LineListener final : public InterruptSource::Listener {
 public:
  explicit LineListener(InterruptSource& line) : line_(&line) { line_->listen(this); }
  LineListener(const LineListener&) = delete;
  LineListener& operator=(const LineListener&) = delete;
  ~LineListener() {
    if (line_ != nullptr) {
      line_->listen(nullptr);
    }
  }
  void lineMayHaveChanged() override { heard_ = line_->interruptAsserted(); }
  void lineGone() override { line_ = nullptr; }
  [[nodiscard]] bool heard() const { return heard_; }

 private:
  InterruptSource* line_;
  bool heard_ = false;
};

// Runs `clock` on by `duration`, firing what falls due.
inline void elapse(Clock& clock, Duration duration) { runUntil(clock, clock.now() + duration); }

// Longer than the controller takes, at any timing corner, to show a remote
// write's completion, a reset or a stop in ISR.
inline constexpr Duration kControllerSettles = 2ms;

inline std::uint8_t lowByte(std::uint32_t value) { return static_cast<std::uint8_t>(value); }
inline std::uint8_t highByte(std::uint32_t value) { return static_cast<std::uint8_t>(value >> 8); }

// RSAR, RBCR, then the command, in the order the driver writes them.
inline void setUpRemoteDma(IoDevice& card, std::uint16_t address, std::uint16_t count,
                           std::uint8_t command) {
  card.write8(port::RSAR0, lowByte(address));
  card.write8(port::RSAR1, highByte(address));
  card.write8(port::RBCR0, lowByte(count));
  card.write8(port::RBCR1, highByte(count));
  card.write8(port::CR, command);
}

inline std::uint16_t readCrda(IoDevice& card) {
  const std::uint8_t low = card.read8(port::CRDA0);
  const std::uint8_t high = card.read8(port::CRDA1);
  return static_cast<std::uint16_t>(low | (high << 8));
}

inline void setRing(IoDevice& card, std::uint8_t pstart, std::uint8_t pstop) {
  card.write8(port::PSTART, pstart);
  card.write8(port::PSTOP, pstop);
}

// A card with the controller started on page 0 and the data path in the
// mode `dcr` selects.
inline CardConfig configFor(BusWidth width, MemoryPlacement memory = {}) {
  return CardConfig{.busWidth = width, .memory = memory, .prom = erasedPromImage()};
}

inline void startController(IoDevice& card, std::uint8_t dcr) {
  card.write8(port::CR, cr::kStopAbort);
  card.write8(port::DCR, dcr);
  card.write8(port::CR, cr::kStartAbort);
}

// Every byte of the card's address space, as its memory holds it.
inline std::vector<std::uint8_t> snapshot(const CardMemory& memory) {
  std::vector<std::uint8_t> bytes(CardMemory::kAddressSpace);
  memory.read(0, bytes);
  return bytes;
}

}  // namespace kl::sim::card::test
