// The card's 64 KiB address space as its remote-DMA channel reaches it: the
// station PROM at 0x00-0x1F and the packet RAM wherever the card places it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/card/card_faults.h"
#include "sim/card/station_prom.h"

namespace kl::sim::card {

struct MemoryPlacement {
  std::uint32_t start = 0x4000;
  std::uint32_t size = 0x4000;
};

class CardMemory {
 public:
  static constexpr std::uint32_t kAddressSpace = 0x10000;
  // A page number is the high byte of a card address.
  static constexpr std::uint32_t kPageSize = 256;
  // What a read returns where nothing answers: the data lines float high.
  static constexpr std::uint8_t kUnmapped = 0xFF;

  // Throws std::invalid_argument when the RAM would run past the top of the
  // address space. A bad cell among `faults` shows in every read.
  CardMemory(MemoryPlacement placement, const PromImage& prom, const CardFaults& faults);

  void loadProm(const PromImage& prom) { prom_ = prom; }
  [[nodiscard]] MemoryPlacement placement() const;

  // Addresses at or past the top of the address space, and addresses no part
  // answers, read 0xFF and drop writes. The PROM answers 0x00-0x1F even where
  // the RAM is placed under it; writes there are lost.
  [[nodiscard]] std::uint8_t read(std::uint32_t address) const;
  void write(std::uint32_t address, std::uint8_t value);
  // Consecutive addresses from `address`, without wrapping at the top.
  void read(std::uint32_t address, std::span<std::uint8_t> bytes) const;
  void write(std::uint32_t address, std::span<const std::uint8_t> bytes);

 private:
  enum class Region : std::uint8_t { Prom, Ram, None };
  struct Run {
    Region region;
    std::uint32_t length;  // bytes from the address that stay in the region
  };
  [[nodiscard]] Run runAt(std::uint32_t address, std::size_t wanted) const;
  void readRuns(std::uint32_t address, std::span<std::uint8_t> bytes) const;

  PromImage prom_;
  const CardFaults& faults_;
  std::uint32_t ramStart_;
  std::vector<std::uint8_t> ram_;
};

}  // namespace kl::sim::card
