// The controller's remote-DMA channel: the path from the data port to card
// memory, one address register (CRDA) and one byte count.
#pragma once

#include <cstdint>
#include <span>

#include "sim/bus/io_device.h"
#include "sim/card/card_faults.h"
#include "sim/card/card_memory.h"

namespace kl::sim::card {

// The width of one bus cycle on the data port.
enum class CycleWidth : std::uint8_t { Byte, Word };

// The receive ring's page registers, which the channel's address follows.
struct RingBounds {
  std::uint8_t pstart = 0;
  std::uint8_t pstop = 0;
};

class RemoteDma {
 public:
  RemoteDma(CardMemory& memory, const CardFaults& faults) : memory_(memory), faults_(faults) {}

  // RSAR and RBCR. Loading RSAR moves CRDA to it; loading RBCR sets the count
  // that remains.
  void setStartAddressLow(std::uint8_t value);
  void setStartAddressHigh(std::uint8_t value);
  void setByteCountLow(std::uint8_t value);
  void setByteCountHigh(std::uint8_t value);

  // The remote read or remote write command. The channel carries on from
  // CRDA with the count that remains. Returns true when there is nothing to
  // move, so the command completes at once.
  [[nodiscard]] bool start(Direction direction);
  // Abort or complete: the channel goes idle and keeps its address and count.
  void abort() { mode_ = Mode::Idle; }

  [[nodiscard]] std::uint16_t currentAddress() const { return crda_; }
  [[nodiscard]] std::uint16_t remainingCount() const { return remaining_; }
  [[nodiscard]] bool active() const { return mode_ != Mode::Idle; }

  // Data-port cycles, `bytes` holding whole cycles in bus order (two bytes
  // for each word cycle). `wordTransfers` is DCR.WTS. A cycle that finds the
  // channel idle, or set up the other way, moves nothing: a read gets 0xFF.
  //
  //   cycle  transfers  read                         write
  //   byte   byte       one byte                     one byte
  //   word   word       two bytes, low = lower addr  two bytes
  //   byte   word       a word; its low byte         a byte, then the byte
  //                                                  above it is passed over
  //   word   byte       one byte, 0xFF above it      the low byte only
  //
  // When the count runs out inside a cycle, the rest of the cycle moves
  // nothing: a read gets 0xFF there, a write's remaining byte is dropped.
  // Returns true when these cycles ran the count out (remote DMA complete).
  bool read(std::span<std::uint8_t> bytes, CycleWidth cycle, bool wordTransfers, RingBounds ring);
  bool write(std::span<const std::uint8_t> bytes, CycleWidth cycle, bool wordTransfers,
             RingBounds ring);

 private:
  enum class Mode : std::uint8_t { Idle, Read, Write };

  // Moves up to `length` bytes at consecutive channel addresses; `access`
  // moves a run of them at one card address. Returns how many moved.
  template <typename Access>
  std::size_t move(std::size_t length, RingBounds ring, Access access);
  void readRun(std::span<std::uint8_t> bytes, RingBounds ring);
  void writeRun(std::span<const std::uint8_t> bytes, RingBounds ring);
  void passOver(std::size_t length, RingBounds ring);

  [[nodiscard]] std::uint32_t contiguousBytes(RingBounds ring) const;
  void advance(std::uint32_t length, RingBounds ring);

  CardMemory& memory_;
  const CardFaults& faults_;
  std::uint16_t rsar_ = 0;
  std::uint16_t rbcr_ = 0;
  std::uint16_t crda_ = 0;
  std::uint16_t remaining_ = 0;
  Mode mode_ = Mode::Idle;
};

}  // namespace kl::sim::card
