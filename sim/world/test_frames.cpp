#include "sim/world/test_frames.h"

#include <algorithm>

#include "sim/world/test_pattern.h"

namespace kl::sim::world {

namespace {

constexpr std::size_t kStreamAt = 14;
constexpr std::size_t kSequenceAt = 15;
constexpr std::size_t kLengthAt = 19;
constexpr std::size_t kEtherTypeAt = 12;

void put16(std::vector<std::uint8_t>& frame, std::size_t at, std::uint16_t value) {
  frame[at] = static_cast<std::uint8_t>(value);
  frame[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint32_t get32(std::span<const std::uint8_t> frame, std::size_t at) {
  return static_cast<std::uint32_t>(frame[at]) | static_cast<std::uint32_t>(frame[at + 1]) << 8 |
         static_cast<std::uint32_t>(frame[at + 2]) << 16 |
         static_cast<std::uint32_t>(frame[at + 3]) << 24;
}

}  // namespace

std::vector<std::uint8_t> buildTestFrame(const Mac& destination, const Mac& source,
                                         FrameIdentity identity, std::size_t length) {
  std::vector<std::uint8_t> frame;
  buildTestFrame(frame, destination, source, identity, length);
  return frame;
}

// Every byte is written: the header's fields, then the pattern after them.
void buildTestFrame(std::vector<std::uint8_t>& frame, const Mac& destination, const Mac& source,
                    FrameIdentity identity, std::size_t length) {
  frame.resize(std::max(length, kTestHeaderBytes));
  std::copy(destination.begin(), destination.end(), frame.begin());
  std::copy(source.begin(), source.end(), frame.begin() + 6);
  frame[kEtherTypeAt] = static_cast<std::uint8_t>(kTestEtherType >> 8);
  frame[kEtherTypeAt + 1] = static_cast<std::uint8_t>(kTestEtherType);
  frame[kStreamAt] = identity.stream;
  for (std::size_t i = 0; i < 4; ++i) {
    frame[kSequenceAt + i] = static_cast<std::uint8_t>(identity.sequence >> (8 * i));
  }
  put16(frame, kLengthAt, static_cast<std::uint16_t>(frame.size()));
  fillPattern(patternSeed(identity.stream, identity.sequence), kTestHeaderBytes,
              std::span(frame).subspan(kTestHeaderBytes));
}

bool looksLikeTestFrame(std::span<const std::uint8_t> frame) {
  return frame.size() >= kTestHeaderBytes &&
         frame[kEtherTypeAt] == static_cast<std::uint8_t>(kTestEtherType >> 8) &&
         frame[kEtherTypeAt + 1] == static_cast<std::uint8_t>(kTestEtherType);
}

std::optional<CheckedFrame> checkTestFrame(std::span<const std::uint8_t> frame) {
  if (!looksLikeTestFrame(frame)) {
    return std::nullopt;
  }
  const std::size_t length = frame[kLengthAt] | static_cast<std::size_t>(frame[kLengthAt + 1]) << 8;
  // A frame built shorter than the minimum arrives padded to it; the pad is
  // the sender's business.
  if (length < kTestHeaderBytes || length > frame.size() ||
      (length != frame.size() && frame.size() != kSmallestTestFrame)) {
    return std::nullopt;
  }
  const FrameIdentity identity{frame[kStreamAt], get32(frame, kSequenceAt)};
  if (!matchesPattern(patternSeed(identity.stream, identity.sequence), kTestHeaderBytes,
                      frame.subspan(kTestHeaderBytes, length - kTestHeaderBytes))) {
    return std::nullopt;
  }
  return CheckedFrame{identity, length};
}

TrafficPlan::TrafficPlan(std::uint64_t seed, const TrafficShape& shape)
    : shape_(shape), random_(seed) {}

PlannedFrame TrafficPlan::next() {
  PlannedFrame frame;
  const unsigned roll = std::uniform_int_distribution<unsigned>(0, 99)(random_);
  frame.kind = roll < shape_.broadcastPercent ? DestinationKind::Broadcast
               : roll < shape_.broadcastPercent + shape_.multicastPercent
                   ? DestinationKind::Multicast
                   : DestinationKind::Unicast;
  frame.length =
      std::uniform_int_distribution<std::size_t>(shape_.minSize, shape_.maxSize)(random_);
  const unsigned pieces =
      std::uniform_int_distribution<unsigned>(1, std::max(1U, shape_.maxPieces))(random_);
  // Cut points anywhere in the frame, repeats allowed: a repeated cut is an
  // empty buffer, which a protocol may well hand down.
  std::vector<std::size_t> cuts(pieces - 1);
  for (std::size_t& cut : cuts) {
    cut = std::uniform_int_distribution<std::size_t>(0, frame.length)(random_);
  }
  std::sort(cuts.begin(), cuts.end());
  std::size_t start = 0;
  for (const std::size_t cut : cuts) {
    frame.pieces.push_back(cut - start);
    start = cut;
  }
  frame.pieces.push_back(frame.length - start);
  return frame;
}

}  // namespace kl::sim::world
