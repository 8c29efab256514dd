// Frames bound for TAP devices, gathered and handed to the kernel as one
// batch through an io_uring; where there is none, each frame is written on
// its own as it comes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kl7046/io_ring.h"
#include "kl7046/tap_device.h"

namespace kl::tools {

// What became of the frames written to one interface.
struct FrameCounts {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  // Refused by the interface (one that is down takes nothing).
  std::uint64_t dropped = 0;

  void count(std::size_t length, bool taken) {
    frames += taken ? 1 : 0;
    bytes += taken ? length : 0;
    dropped += taken ? 0 : 1;
  }
};

class FrameWriter {
 public:
  // Frames gathered before the batch goes to the kernel on its own.
  static constexpr unsigned kBatch = 64;

  FrameWriter();

  // Writes `frame` to `tap`, now or with the batch, and counts how it went
  // in `counts` once it has gone.
  void write(TapDevice& tap, std::span<const std::uint8_t> frame, FrameCounts& counts);
  // Hands the batch to the kernel and counts how each of its frames went.
  void flush();

 private:
  struct Slot {
    std::array<std::uint8_t, TapDevice::kFrameRoom> bytes;
    std::size_t length = 0;
    FrameCounts* counts = nullptr;
  };

  std::unique_ptr<IoRing> ring_;  // none: each frame written as it comes
  std::vector<Slot> slots_;
  std::array<std::int32_t, kBatch> results_{};
  std::uint32_t used_ = 0;
};

}  // namespace kl::tools
