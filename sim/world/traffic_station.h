// A protocol bound to one adapter that sends self-checking test frames to a
// peer and checks every frame it receives: what the demo and the end-to-end
// tests run on each side of the cable.
//
// It behaves as a tidy protocol does: it sets the packet filter and a
// multicast list before it sends, keeps a bounded number of packets with the
// miniport, hands down buffer chains of varied shapes, and fetches what the
// lookahead did not hold with transfer-data.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "sim/host/miniport_adapter.h"
#include "sim/host/packet_pool.h"
#include "sim/host/protocol.h"
#include "sim/world/test_frames.h"

namespace kl::sim::world {

// What a station did and saw.
struct StationCounts {
  std::uint64_t framesSent = 0;  // handed to the miniport
  std::uint64_t bytesSent = 0;
  std::uint64_t sendsCompleted = 0;    // completed with success
  std::uint64_t sendsAborted = 0;      // completed with NDIS_STATUS_REQUEST_ABORTED
  std::uint64_t sendsFailed = 0;       // completed with any other status
  std::uint64_t strayCompletions = 0;  // for a packet the station did not hold
  std::uint64_t framesReceived = 0;    // intact test frames, first arrival
  std::uint64_t bytesReceived = 0;
  std::uint64_t damaged = 0;     // test frames whose bytes are wrong
  std::uint64_t duplicates = 0;  // intact test frames seen before
  std::uint64_t outOfOrder = 0;  // intact test frames older than one seen
  std::uint64_t foreign = 0;     // frames that are not test frames
  std::uint64_t transferFailures = 0;
};

class TrafficStation final : public Protocol {
 public:
  static constexpr std::size_t kDefaultWindow = 16;

  TrafficStation(MiniportAdapter& adapter, std::uint8_t stream, std::uint64_t seed,
                 const TrafficShape& shape);
  TrafficStation(const TrafficStation&) = delete;
  TrafficStation& operator=(const TrafficStation&) = delete;
  ~TrafficStation() override = default;

  // Binds to the adapter, learns its address, sets `filter` and the
  // multicast list {group}; where the adapter takes no list, asks for every
  // group instead, as a protocol falls back. Returns the first status that
  // is not success.
  NDIS_STATUS open(ULONG filter, const Mac& group) { return open(filter, std::vector<Mac>{group}); }
  // The same with a multicast list of any length; an empty one is left
  // unset.
  NDIS_STATUS open(ULONG filter, const std::vector<Mac>& groups);

  // From now on sends `frames` frames to `peer` (unicast), to broadcast and
  // to `group`, as the plan mixes them.
  void aim(const Mac& peer, std::uint64_t frames);
  // From now on sends `frames` frames of the plan's sizes and chains to the
  // `destinations` in turn, whatever kind the plan draws.
  void aimAt(std::vector<Mac> destinations, std::uint64_t frames);
  // Hands packets down while fewer than the window are with the miniport
  // and the budget lasts, `most` at the most.
  void pump(std::size_t most = std::numeric_limits<std::size_t>::max());
  // Sends one test frame of `length` bytes to `destination` at once, outside
  // the plan, as buffers of the lengths in `pieces` (which sum to `length`).
  void sendShaped(const Mac& destination, std::size_t length,
                  const std::vector<std::size_t>& pieces);
  // Everything planned was sent and has come back.
  [[nodiscard]] bool doneSending() const {
    return planned_ == counts_.framesSent && packets_.lent() == 0;
  }
  [[nodiscard]] std::size_t packetsHeld() const { return packets_.lent(); }
  void setWindow(std::size_t window) { window_ = window; }
  // Called with every frame as it is handed to the miniport.
  void onSend(std::function<void(std::span<const std::uint8_t> frame)> observer) {
    sendObserver_ = std::move(observer);
  }

  [[nodiscard]] const Mac& address() const { return address_; }
  [[nodiscard]] const std::vector<Mac>& groups() const { return groups_; }
  // Where the frame with sequence number `sequence` went.
  [[nodiscard]] const Mac& sentTo(std::uint64_t sequence) const { return sentTo_.at(sequence); }
  // Whether the frame of `stream` numbered `sequence` arrived here.
  [[nodiscard]] bool received(std::uint8_t stream, std::uint64_t sequence) const;
  [[nodiscard]] std::uint8_t stream() const { return stream_; }
  [[nodiscard]] const StationCounts& counts() const { return counts_; }
  // Frames of `stream` numbered below `sent` that never arrived here.
  [[nodiscard]] std::uint64_t missingFrom(std::uint8_t stream, std::uint64_t sent) const;
  [[nodiscard]] MiniportAdapter& adapter() { return adapter_; }

  // ---- Protocol.
  void sendComplete(MiniportAdapter& adapter, NDIS_PACKET& packet, NDIS_STATUS status) override;
  void receive(MiniportAdapter& adapter, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> lookahead, UINT packetSize) override;
  void receiveComplete(MiniportAdapter& /*adapter*/) override {}

 private:
  struct Receipt {
    std::vector<bool> seen;
    std::optional<std::uint32_t> newest;
  };

  void sendOne();
  void handDown(const Mac& destination, std::size_t length, const std::vector<std::size_t>& pieces);
  void account(std::span<const std::uint8_t> frame);

  MiniportAdapter& adapter_;
  std::uint8_t stream_;
  TrafficPlan plan_;
  std::size_t window_ = kDefaultWindow;
  Mac address_{};
  Mac peer_{};
  std::vector<Mac> groups_;
  std::vector<Mac> targets_;
  std::vector<Mac> sentTo_;
  std::uint64_t planned_ = 0;
  PacketPool packets_;
  // The frame being sent and the one being received, and where transfer-data
  // puts the rest of a frame: kept from frame to frame.
  std::vector<std::uint8_t> sending_;
  std::vector<std::uint8_t> receiving_;
  std::unique_ptr<Packet> transferSpace_ = Packet::withSpace(0);
  std::map<std::uint8_t, Receipt> receipts_;
  StationCounts counts_;
  std::function<void(std::span<const std::uint8_t>)> sendObserver_;
};

// A ULONG-sized query of the adapter; nothing when it does not succeed.
[[nodiscard]] std::optional<ULONG> queryUlong(MiniportAdapter& adapter, NDIS_OID oid);

}  // namespace kl::sim::world
