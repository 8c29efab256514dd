// NDIS packets with their buffer chains, as a protocol builds them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/ndis.h"

namespace kl::sim {

// A packet and the storage its buffers describe. The NDIS structures point into
// the object itself, so it neither copies nor moves; hold it by unique_ptr.
class Packet {
 public:
  // One buffer per piece, in order; empty pieces make zero-length buffers.
  static std::unique_ptr<Packet> fromPieces(const std::vector<std::vector<std::uint8_t>>& pieces);
  // One buffer holding `frame`.
  static std::unique_ptr<Packet> fromBytes(std::span<const std::uint8_t> frame);
  // One zero-filled buffer of `length` bytes, as a transfer-data destination.
  static std::unique_ptr<Packet> withSpace(std::size_t length);

  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;
  ~Packet() = default;

  [[nodiscard]] NDIS_PACKET& ndis() { return packet_; }
  // The bytes of the whole chain, in order.
  [[nodiscard]] std::vector<std::uint8_t> bytes() const;

 private:
  Packet() = default;
  void link();

  NDIS_PACKET packet_{};
  std::vector<std::vector<std::uint8_t>> storage_;
  std::vector<NDIS_BUFFER> buffers_;
};

}  // namespace kl::sim
