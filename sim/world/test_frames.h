// Frames that check themselves: each carries its sender's stream number, its
// sequence number and its length after the Ethernet header, and a payload
// that follows from those, so a receiver can tell a frame that arrived
// intact from one that arrived damaged, twice or not at all without keeping
// a copy of what was sent.
//
// Layout after the 14-byte header (EtherType 0x88B5, the IEEE 802 local
// experimental type):
//   14  stream  (1 byte)
//   15  sequence (4 bytes, little endian)
//   19  frame length (2 bytes, little endian)
//   21  payload pattern up to the frame's length
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace kl::sim::world {

using Mac = std::array<std::uint8_t, 6>;

inline constexpr std::uint16_t kTestEtherType = 0x88B5;
inline constexpr std::size_t kTestHeaderBytes = 21;
inline constexpr std::size_t kSmallestTestFrame = 60;
inline constexpr std::size_t kLargestTestFrame = 1514;

enum class DestinationKind : std::uint8_t { Unicast, Broadcast, Multicast };

struct FrameIdentity {
  std::uint8_t stream = 0;
  std::uint32_t sequence = 0;
  friend bool operator==(const FrameIdentity&, const FrameIdentity&) = default;
};

// `length` bytes (without FCS) from `source` to `destination`.
[[nodiscard]] std::vector<std::uint8_t> buildTestFrame(const Mac& destination, const Mac& source,
                                                       FrameIdentity identity, std::size_t length);
// The same into `frame`, in the storage it has where that is large enough.
void buildTestFrame(std::vector<std::uint8_t>& frame, const Mac& destination, const Mac& source,
                    FrameIdentity identity, std::size_t length);

// A test frame that arrived as its sender built it.
struct CheckedFrame {
  FrameIdentity identity;
  std::size_t length = 0;  // as built, without the pad a short frame gets
};

// Who sent `frame` and how long they built it, when it is a test frame whose
// every byte is as its sender built it; nothing when it is not a test frame
// or is damaged.
[[nodiscard]] std::optional<CheckedFrame> checkTestFrame(std::span<const std::uint8_t> frame);

// Whether `frame` claims to be a test frame (by its EtherType), intact or not.
[[nodiscard]] bool looksLikeTestFrame(std::span<const std::uint8_t> frame);

// What one sender sends: sizes, destinations and buffer-chain shapes drawn
// from one seeded generator, so a run repeats exactly.
struct TrafficShape {
  std::size_t minSize = kSmallestTestFrame;
  std::size_t maxSize = kLargestTestFrame;
  // Out of 100: frames to the broadcast address and to the multicast group;
  // the rest go to the peer's own address.
  unsigned broadcastPercent = 10;
  unsigned multicastPercent = 10;
  // The most buffers a chain is split into; some of them may be empty.
  unsigned maxPieces = 5;
};

struct PlannedFrame {
  DestinationKind kind = DestinationKind::Unicast;
  std::size_t length = 0;
  // Where the frame is split into buffers: piece lengths, summing to length.
  std::vector<std::size_t> pieces;
};

class TrafficPlan {
 public:
  TrafficPlan(std::uint64_t seed, const TrafficShape& shape);
  [[nodiscard]] PlannedFrame next();

 private:
  TrafficShape shape_;
  std::mt19937_64 random_;
};

}  // namespace kl::sim::world
