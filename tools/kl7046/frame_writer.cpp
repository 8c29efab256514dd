#include "kl7046/frame_writer.h"

#include <algorithm>

namespace kl::tools {

FrameWriter::FrameWriter() : ring_(IoRing::open(kBatch)), slots_(ring_ ? kBatch : 0) {}

void FrameWriter::write(TapDevice& tap, std::span<const std::uint8_t> frame, FrameCounts& counts) {
  if (!ring_) {
    counts.count(frame.size(), tap.write(frame));
    return;
  }
  if (used_ == slots_.size()) {
    flush();
  }
  Slot& slot = slots_[used_];
  slot.length = std::min(frame.size(), slot.bytes.size());
  std::copy_n(frame.begin(), slot.length, slot.bytes.begin());
  slot.counts = &counts;
  ring_->queueWrite(tap.fd(), std::span(slot.bytes).first(slot.length), used_);
  ++used_;
}

void FrameWriter::flush() {
  if (used_ == 0) {
    return;
  }
  ring_->submit(results_);
  for (std::uint32_t tag = 0; tag < used_; ++tag) {
    const Slot& slot = slots_[tag];
    slot.counts->count(slot.length, results_[tag] == static_cast<std::int32_t>(slot.length));
  }
  used_ = 0;
}

}  // namespace kl::tools
