#include "kl7046/frame_reader.h"

#include <algorithm>

namespace kl::tools {

FrameReader::FrameReader(TapDevice& tap)
    : tap_(tap), ring_(IoRing::open(kBatch)), rooms_(ring_ ? kBatch : 1) {
  frames_.reserve(rooms_.size());
}

FrameReader::Batch FrameReader::read(std::size_t most) {
  frames_.clear();
  if (!ring_) {
    const auto frame = tap_.read(rooms_[0]);
    if (frame) {
      frames_.push_back(*frame);
    }
    return {frames_, !frame};
  }
  const auto asked = static_cast<std::uint32_t>(std::clamp<std::size_t>(most, 1, next_));
  for (std::uint32_t tag = 0; tag < asked; ++tag) {
    ring_->queueRead(tap_.fd(), rooms_[tag], tag);
  }
  ring_->submit(results_);
  for (std::uint32_t tag = 0; tag < asked; ++tag) {
    if (results_[tag] > 0) {
      frames_.emplace_back(rooms_[tag].data(), static_cast<std::size_t>(results_[tag]));
    }
  }
  next_ = std::clamp<std::size_t>(2 * frames_.size(), 1, kBatch);
  return {frames_, frames_.size() < asked};
}

}  // namespace kl::tools
