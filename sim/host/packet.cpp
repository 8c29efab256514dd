#include "sim/host/packet.h"

#include <new>

namespace kl::sim {

static_assert(sizeof(MDL) % sizeof(ULONG_PTR) == 0 && alignof(MDL) <= alignof(ULONG_PTR));

void Packet::Descriptor::describe(std::span<std::uint8_t> piece) {
  const auto address = reinterpret_cast<ULONG_PTR>(piece.data());
  const auto length = static_cast<ULONG>(piece.size());
  const ULONG pages = length == 0 ? 0 : ADDRESS_AND_SIZE_TO_SPAN_PAGES(piece.data(), length);
  words_.resize(sizeof(MDL) / sizeof(ULONG_PTR) + pages);
  PMDL mdl = new (words_.data()) MDL{};
  mdl->Size = static_cast<CSHORT>(words_.size() * sizeof(ULONG_PTR));
  mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
  mdl->MappedSystemVa = piece.data();
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR{PAGE_SIZE - 1});
  mdl->ByteCount = length;
  mdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
  // Virtual and physical pages coincide on this machine.
  const ULONG_PTR firstPage = address / PAGE_SIZE;
  for (ULONG page = 0; page < pages; ++page) {
    words_[sizeof(MDL) / sizeof(ULONG_PTR) + page] = firstPage + page;
  }
}

std::unique_ptr<Packet> Packet::fromPieces(const std::vector<std::vector<std::uint8_t>>& pieces) {
  std::unique_ptr<Packet> packet(new Packet());
  packet->storage_ = pieces;
  packet->link();
  return packet;
}

std::unique_ptr<Packet> Packet::fromPieces(std::span<const std::uint8_t> frame,
                                           std::span<const std::size_t> lengths) {
  std::unique_ptr<Packet> packet(new Packet());
  packet->refill(frame, lengths);
  return packet;
}

void Packet::refill(std::span<const std::uint8_t> frame, std::span<const std::size_t> lengths) {
  storage_.resize(lengths.size());
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    storage_[i].assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(lengths[i]));
    frame = frame.subspan(lengths[i]);
  }
  packet_ = NDIS_PACKET{};
  link();
}

std::unique_ptr<Packet> Packet::fromBytes(std::span<const std::uint8_t> frame) {
  const std::size_t length = frame.size();
  return fromPieces(frame, std::span(&length, 1));
}

std::unique_ptr<Packet> Packet::withSpace(std::size_t length) {
  std::unique_ptr<Packet> packet(new Packet());
  packet->refillWithSpace(length);
  return packet;
}

void Packet::refillWithSpace(std::size_t length) {
  storage_.resize(1);
  storage_[0].assign(length, 0);
  packet_ = NDIS_PACKET{};
  link();
}

void Packet::link() {
  descriptors_.resize(storage_.size());
  for (std::size_t i = 0; i < storage_.size(); ++i) {
    descriptors_[i].describe(storage_[i]);
  }
  for (std::size_t i = 0; i + 1 < descriptors_.size(); ++i) {
    descriptors_[i].mdl()->Next = descriptors_[i + 1].mdl();
  }
  packet_.Private.Head = descriptors_.empty() ? nullptr : descriptors_.front().mdl();
  packet_.Private.Tail = descriptors_.empty() ? nullptr : descriptors_.back().mdl();
  packet_.Private.ValidCounts = FALSE;
}

std::vector<std::uint8_t> Packet::bytes() const {
  std::vector<std::uint8_t> all;
  appendTo(all);
  return all;
}

void Packet::appendTo(std::vector<std::uint8_t>& out) const {
  for (const auto& piece : storage_) {
    out.insert(out.end(), piece.begin(), piece.end());
  }
}

}  // namespace kl::sim
