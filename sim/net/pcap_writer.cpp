#include "sim/net/pcap_writer.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kl::sim::net {

namespace {

constexpr std::uint32_t kNanosecondMagic = 0xA1B23C4D;
constexpr std::uint16_t kVersionMajor = 2;
constexpr std::uint16_t kVersionMinor = 4;
constexpr std::uint32_t kSnapLength = 65535;
constexpr std::uint32_t kLinkTypeEthernet = 1;
constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;

}  // namespace

PcapWriter::PcapWriter(const std::filesystem::path& path)
    : out_(path, std::ios::binary | std::ios::trunc) {
  if (!out_) {
    throw std::runtime_error("cannot write the capture file " + path.string());
  }
  put32(kNanosecondMagic);
  put16(kVersionMajor);
  put16(kVersionMinor);
  put32(0);  // GMT offset
  put32(0);  // timestamp accuracy
  put32(kSnapLength);
  put32(kLinkTypeEthernet);
  out_.flush();
}

void PcapWriter::capture(Cable& cable) {
  cable.onFrame([this](const WireFrame& frame, Cable::Side, VirtualTime arrival) {
    write(frame.bytes, arrival);
  });
}

void PcapWriter::write(std::span<const std::uint8_t> frame, VirtualTime arrival) {
  const auto bytes = frame.first(frame.size() - std::min(frame.size(), kFcsBytes));
  const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), kSnapLength));
  const auto nanoseconds = static_cast<std::uint64_t>(arrival.count());
  put32(static_cast<std::uint32_t>(nanoseconds / kNanosecondsPerSecond));
  put32(static_cast<std::uint32_t>(nanoseconds % kNanosecondsPerSecond));
  put32(length);
  put32(static_cast<std::uint32_t>(bytes.size()));
  out_.write(reinterpret_cast<const char*>(bytes.data()), length);
  out_.flush();
  ++frames_;
}

// The file is little-endian whatever the host is.
void PcapWriter::put32(std::uint32_t value) {
  put16(static_cast<std::uint16_t>(value));
  put16(static_cast<std::uint16_t>(value >> 16));
}

void PcapWriter::put16(std::uint16_t value) {
  const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
  out_.write(bytes, sizeof bytes);
}

}  // namespace kl::sim::net
