#include "sim/card/remote_dma.h"

#include <algorithm>
#include <array>

#include "sim/core/bytes.h"

namespace kl::sim::card {

namespace {

// What a read cycle delivers where the channel moves nothing.
constexpr std::uint8_t kNothingMoved = 0xFF;

// The channel follows the ring only when the ring is a real one; with PSTART
// at or past PSTOP it runs straight on and wraps at the top of the space.
bool ringWraps(RingBounds ring) { return ring.pstart < ring.pstop; }

}  // namespace

void RemoteDma::setStartAddressLow(std::uint8_t value) {
  rsar_ = withLowByte(rsar_, value);
  crda_ = rsar_;
}

void RemoteDma::setStartAddressHigh(std::uint8_t value) {
  rsar_ = withHighByte(rsar_, value);
  crda_ = rsar_;
}

void RemoteDma::setByteCountLow(std::uint8_t value) {
  rbcr_ = withLowByte(rbcr_, value);
  remaining_ = rbcr_;
}

void RemoteDma::setByteCountHigh(std::uint8_t value) {
  rbcr_ = withHighByte(rbcr_, value);
  remaining_ = rbcr_;
}

bool RemoteDma::start(Direction direction) {
  if (remaining_ == 0) {
    mode_ = Mode::Idle;
    return true;
  }
  mode_ = direction == Direction::Read ? Mode::Read : Mode::Write;
  return false;
}

bool RemoteDma::read(std::span<std::uint8_t> bytes, CycleWidth cycle, bool wordTransfers,
                     RingBounds ring) {
  if (mode_ != Mode::Read) {
    std::fill(bytes.begin(), bytes.end(), kNothingMoved);
    return false;
  }
  if ((cycle == CycleWidth::Word) == wordTransfers) {
    readRun(bytes, ring);
  } else if (cycle == CycleWidth::Byte) {
    for (std::uint8_t& byte : bytes) {
      std::array<std::uint8_t, 2> word{};
      readRun(word, ring);
      byte = word[0];
    }
  } else {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      readRun(bytes.subspan(i, 1), ring);
      bytes[i + 1] = kNothingMoved;
    }
  }
  return mode_ == Mode::Idle;
}

bool RemoteDma::write(std::span<const std::uint8_t> bytes, CycleWidth cycle, bool wordTransfers,
                      RingBounds ring) {
  if (mode_ != Mode::Write) {
    return false;
  }
  if ((cycle == CycleWidth::Word) == wordTransfers) {
    writeRun(bytes, ring);
  } else if (cycle == CycleWidth::Byte) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      writeRun(bytes.subspan(i, 1), ring);
      passOver(1, ring);
    }
  } else {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      writeRun(bytes.subspan(i, 1), ring);
    }
  }
  return mode_ == Mode::Idle;
}

template <typename Access>
std::size_t RemoteDma::move(std::size_t length, RingBounds ring, Access access) {
  std::size_t done = 0;
  while (done < length && remaining_ > 0) {
    std::size_t run = std::min<std::size_t>(length - done, remaining_);
    // A frozen address takes every byte at the same place, one at a time.
    run = faults_.crdaFrozen ? 1 : std::min<std::size_t>(run, contiguousBytes(ring));
    access(crda_, done, run);
    done += run;
    remaining_ = static_cast<std::uint16_t>(remaining_ - run);
    if (!faults_.crdaFrozen) {
      advance(static_cast<std::uint32_t>(run), ring);
    }
  }
  if (remaining_ == 0) {
    mode_ = Mode::Idle;
  }
  return done;
}

void RemoteDma::readRun(std::span<std::uint8_t> bytes, RingBounds ring) {
  const std::size_t moved =
      move(bytes.size(), ring, [&](std::uint16_t address, std::size_t offset, std::size_t run) {
        memory_.read(address, bytes.subspan(offset, run));
      });
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(moved), bytes.end(), kNothingMoved);
}

void RemoteDma::writeRun(std::span<const std::uint8_t> bytes, RingBounds ring) {
  move(bytes.size(), ring, [&](std::uint16_t address, std::size_t offset, std::size_t run) {
    memory_.write(address, bytes.subspan(offset, run));
  });
}

void RemoteDma::passOver(std::size_t length, RingBounds ring) {
  move(length, ring, [](std::uint16_t, std::size_t, std::size_t) {});
}

std::uint32_t RemoteDma::contiguousBytes(RingBounds ring) const {
  const std::uint32_t stop = ring.pstop * CardMemory::kPageSize;
  if (ringWraps(ring) && crda_ < stop) {
    return stop - crda_;
  }
  return CardMemory::kAddressSpace - crda_;
}

void RemoteDma::advance(std::uint32_t length, RingBounds ring) {
  std::uint32_t next = crda_ + length;
  if (ringWraps(ring) && next == ring.pstop * CardMemory::kPageSize) {
    next = ring.pstart * CardMemory::kPageSize;
  }
  // Past 0xFFFF the 16-bit address register wraps to 0.
  crda_ = static_cast<std::uint16_t>(next);
}

}  // namespace kl::sim::card
