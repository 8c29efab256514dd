// NDIS packets with their buffer chains, as a protocol builds them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/ndis.h"

namespace kl::sim {

// A packet and the storage its buffers describe. Each buffer is an MDL over
// nonpaged memory, followed by the page frame numbers of the pages it spans,
// as NDIS builds a buffer descriptor; the packet's counts are left invalid,
// as chaining buffers leaves them. The NDIS structures point into the object
// itself, so it neither copies nor moves; hold it by unique_ptr.
class Packet {
 public:
  // One buffer per piece, in order; empty pieces make zero-length buffers.
  static std::unique_ptr<Packet> fromPieces(const std::vector<std::vector<std::uint8_t>>& pieces);
  // One buffer per length in `lengths`, cut in order from `frame`, whose
  // size they sum to.
  static std::unique_ptr<Packet> fromPieces(std::span<const std::uint8_t> frame,
                                            std::span<const std::size_t> lengths);
  // One buffer holding `frame`.
  static std::unique_ptr<Packet> fromBytes(std::span<const std::uint8_t> frame);
  // One zero-filled buffer of `length` bytes, as a transfer-data destination.
  static std::unique_ptr<Packet> withSpace(std::size_t length);

  // Builds the packet again over `frame` cut as `lengths` give (as
  // fromPieces does), in the storage it already has where that is large
  // enough: a protocol that reuses its packets allocates nothing a send.
  void refill(std::span<const std::uint8_t> frame, std::span<const std::size_t> lengths);
  // Builds it again as one zero-filled buffer of `length` bytes (as
  // withSpace does), in the storage it has where that is large enough.
  void refillWithSpace(std::size_t length);

  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;
  ~Packet() = default;

  [[nodiscard]] NDIS_PACKET& ndis() { return packet_; }
  // The bytes of the whole chain, in order.
  [[nodiscard]] std::vector<std::uint8_t> bytes() const;
  // The same, put at the end of `out`.
  void appendTo(std::vector<std::uint8_t>& out) const;

 private:
  // An MDL and the page frame numbers after it, in storage aligned for both.
  class Descriptor {
   public:
    // Describes `piece`, in the words it already has where they suffice.
    void describe(std::span<std::uint8_t> piece);
    [[nodiscard]] PMDL mdl() { return reinterpret_cast<PMDL>(words_.data()); }

   private:
    std::vector<ULONG_PTR> words_;
  };

  Packet() = default;
  void link();

  NDIS_PACKET packet_{};
  std::vector<std::vector<std::uint8_t>> storage_;
  std::vector<Descriptor> descriptors_;
};

}  // namespace kl::sim
