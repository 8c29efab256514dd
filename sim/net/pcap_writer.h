// A capture file of the frames that cross a cable, in the classic pcap
// format with nanosecond timestamps, link type Ethernet. Timestamps are the
// virtual time at which each frame's last bit arrived; frames are written
// without their FCS, as a capture on a host interface shows them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>

#include "sim/core/clock.h"
#include "sim/net/cable.h"

namespace kl::sim::net {

class PcapWriter {
 public:
  // Creates (or truncates) the file and writes the file header. Throws
  // std::runtime_error when the file cannot be written.
  explicit PcapWriter(const std::filesystem::path& path);
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Records every frame `cable` carries from now on. The writer must outlive
  // the cable's traffic.
  void capture(Cable& cable);

  // One record: `frame` as sent, FCS included; the FCS is left out.
  void write(std::span<const std::uint8_t> frame, VirtualTime arrival);

  [[nodiscard]] std::uint64_t framesWritten() const { return frames_; }

 private:
  void put32(std::uint32_t value);
  void put16(std::uint16_t value);

  std::ofstream out_;
  std::uint64_t frames_ = 0;
};

}  // namespace kl::sim::net
