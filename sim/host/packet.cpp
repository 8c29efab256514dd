#include "sim/host/packet.h"

namespace kl::sim {

std::unique_ptr<Packet> Packet::fromPieces(const std::vector<std::vector<std::uint8_t>>& pieces) {
  std::unique_ptr<Packet> packet(new Packet());
  packet->storage_ = pieces;
  packet->link();
  return packet;
}

std::unique_ptr<Packet> Packet::fromBytes(std::span<const std::uint8_t> frame) {
  return fromPieces({std::vector<std::uint8_t>(frame.begin(), frame.end())});
}

std::unique_ptr<Packet> Packet::withSpace(std::size_t length) {
  return fromPieces({std::vector<std::uint8_t>(length, 0)});
}

void Packet::link() {
  buffers_.resize(storage_.size());
  UINT total = 0;
  for (std::size_t i = 0; i < storage_.size(); ++i) {
    buffers_[i].VirtualAddress = storage_[i].data();
    buffers_[i].Length = static_cast<UINT>(storage_[i].size());
    buffers_[i].Next = i + 1 < storage_.size() ? &buffers_[i + 1] : nullptr;
    total += buffers_[i].Length;
  }
  packet_.Private.Head = buffers_.empty() ? nullptr : &buffers_.front();
  packet_.Private.Tail = buffers_.empty() ? nullptr : &buffers_.back();
  packet_.Private.Count = static_cast<UINT>(buffers_.size());
  packet_.Private.PhysicalCount = packet_.Private.Count;
  packet_.Private.TotalLength = total;
  packet_.Private.ValidCounts = TRUE;
}

std::vector<std::uint8_t> Packet::bytes() const {
  std::vector<std::uint8_t> all;
  for (const auto& piece : storage_) {
    all.insert(all.end(), piece.begin(), piece.end());
  }
  return all;
}

}  // namespace kl::sim
