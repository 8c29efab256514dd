// Frames a TAP device's stack sent, read in batches through an io_uring:
// as many reads as frames are likely to wait, in one system call. Where
// there is no io_uring, one read a frame.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kl7046/io_ring.h"
#include "kl7046/tap_device.h"

namespace kl::tools {

class FrameReader {
 public:
  static constexpr unsigned kBatch = 64;

  // What one read found: the frames in the order the stack sent them
  // (valid until the next read), and whether the TAP was read empty.
  struct Batch {
    std::span<const std::span<const std::uint8_t>> frames;
    bool empty = false;
  };

  explicit FrameReader(TapDevice& tap);

  // Reads at most `most` frames (at least one).
  [[nodiscard]] Batch read(std::size_t most);

 private:
  TapDevice& tap_;
  std::unique_ptr<IoRing> ring_;  // none: one read a frame
  std::vector<std::array<std::uint8_t, TapDevice::kFrameRoom>> rooms_;
  std::array<std::int32_t, kBatch> results_{};
  std::vector<std::span<const std::uint8_t>> frames_;
  // Reads to ask for next time: twice what the last batch found, so a
  // burst is taken in a few batches and a lone frame costs no more than a
  // read of it and one that finds the TAP empty.
  std::size_t next_ = 1;
};

}  // namespace kl::tools
