#include "sim/card/card_memory.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kl::sim::card {

namespace {

// What a bad cell inverts.
constexpr std::uint8_t kAllBits = 0xFF;

}  // namespace

CardMemory::CardMemory(MemoryPlacement placement, const PromImage& prom, const CardFaults& faults)
    : prom_(prom), faults_(faults), ramStart_(placement.start) {
  if (placement.start > kAddressSpace || placement.size > kAddressSpace - placement.start) {
    throw std::invalid_argument("card RAM runs past the 64 KiB card address space");
  }
  ram_.resize(placement.size);
}

MemoryPlacement CardMemory::placement() const {
  return MemoryPlacement{ramStart_, static_cast<std::uint32_t>(ram_.size())};
}

CardMemory::Run CardMemory::runAt(std::uint32_t address, std::size_t wanted) const {
  const auto clamp = [wanted](std::uint64_t available) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(available, wanted));
  };
  if (address < kPromImageSize) {
    return Run{Region::Prom, clamp(kPromImageSize - address)};
  }
  const std::uint32_t ramEnd = ramStart_ + static_cast<std::uint32_t>(ram_.size());
  if (address >= ramStart_ && address < ramEnd) {
    return Run{Region::Ram, clamp(ramEnd - address)};
  }
  // Unanswered up to the RAM when it lies above, else for the rest of the run.
  const std::uint64_t next = address < ramStart_ ? ramStart_ : wanted + std::uint64_t{address};
  return Run{Region::None, clamp(next - address)};
}

std::uint8_t CardMemory::read(std::uint32_t address) const {
  std::uint8_t value = 0;
  read(address, std::span<std::uint8_t>(&value, 1));
  return value;
}

void CardMemory::write(std::uint32_t address, std::uint8_t value) {
  write(address, std::span<const std::uint8_t>(&value, 1));
}

void CardMemory::read(std::uint32_t address, std::span<std::uint8_t> bytes) const {
  readRuns(address, bytes);
  if (faults_.badCell && *faults_.badCell >= address && *faults_.badCell - address < bytes.size()) {
    bytes[*faults_.badCell - address] ^= kAllBits;
  }
}

void CardMemory::readRuns(std::uint32_t address, std::span<std::uint8_t> bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::uint64_t at = std::uint64_t{address} + done;
    const std::size_t wanted = bytes.size() - done;
    if (at >= kAddressSpace) {
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(done), wanted, kUnmapped);
      return;
    }
    const auto here = static_cast<std::uint32_t>(at);
    const Run run = runAt(here, wanted);
    std::uint8_t* out = bytes.data() + done;
    switch (run.region) {
      case Region::Prom:
        std::memcpy(out, prom_.data() + here, run.length);
        break;
      case Region::Ram:
        std::memcpy(out, ram_.data() + (here - ramStart_), run.length);
        break;
      case Region::None:
        std::memset(out, kUnmapped, run.length);
        break;
    }
    done += run.length;
  }
}

void CardMemory::write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::uint64_t at = std::uint64_t{address} + done;
    if (at >= kAddressSpace) {
      return;
    }
    const auto here = static_cast<std::uint32_t>(at);
    const Run run = runAt(here, bytes.size() - done);
    if (run.region == Region::Ram) {
      std::memcpy(ram_.data() + (here - ramStart_), bytes.data() + done, run.length);
    }
    done += run.length;
  }
}

}  // namespace kl::sim::card
