#include "sim/world/traffic_station.h"

#include <algorithm>
#include <cstring>

namespace kl::sim::world {

namespace {

constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

std::optional<ULONG> queryUlong(MiniportAdapter& adapter, NDIS_OID oid) {
  std::uint8_t bytes[sizeof(ULONG)] = {};
  ULONG written = 0;
  ULONG needed = 0;
  if (adapter.query(oid, bytes, written, needed) != NDIS_STATUS_SUCCESS ||
      written != sizeof(ULONG)) {
    return std::nullopt;
  }
  ULONG value = 0;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

TrafficStation::TrafficStation(MiniportAdapter& adapter, std::uint8_t stream, std::uint64_t seed,
                               const TrafficShape& shape)
    : adapter_(adapter), stream_(stream), plan_(seed, shape) {}

NDIS_STATUS TrafficStation::open(ULONG filter, const std::vector<Mac>& groups) {
  adapter_.bind(*this);
  ULONG done = 0;
  ULONG needed = 0;
  NDIS_STATUS status = adapter_.query(OID_802_3_CURRENT_ADDRESS, address_, done, needed);
  if (status != NDIS_STATUS_SUCCESS) {
    return status;
  }
  groups_ = groups;
  // A list longer than the adapter takes is asked for as every group.
  const std::optional<ULONG> capacity = queryUlong(adapter_, OID_802_3_MAXIMUM_LIST_SIZE);
  if (capacity.value_or(0) < groups_.size() && (filter & NDIS_PACKET_TYPE_MULTICAST) != 0) {
    filter =
        (filter & ~static_cast<ULONG>(NDIS_PACKET_TYPE_MULTICAST)) | NDIS_PACKET_TYPE_ALL_MULTICAST;
  } else if (!groups_.empty()) {
    std::vector<std::uint8_t> list;
    for (const Mac& group : groups_) {
      list.insert(list.end(), group.begin(), group.end());
    }
    status = adapter_.set(OID_802_3_MULTICAST_LIST, list, done, needed);
    if (status != NDIS_STATUS_SUCCESS) {
      return status;
    }
  }
  std::uint8_t filterBytes[sizeof(ULONG)];
  std::memcpy(filterBytes, &filter, sizeof(filter));
  return adapter_.set(OID_GEN_CURRENT_PACKET_FILTER, filterBytes, done, needed);
}

void TrafficStation::aim(const Mac& peer, std::uint64_t frames) {
  peer_ = peer;
  planned_ = counts_.framesSent + frames;
}

void TrafficStation::aimAt(std::vector<Mac> destinations, std::uint64_t frames) {
  targets_ = std::move(destinations);
  planned_ = counts_.framesSent + frames;
}

void TrafficStation::pump(std::size_t most) {
  for (; most != 0 && counts_.framesSent < planned_ && packets_.lent() < window_; --most) {
    sendOne();
  }
}

void TrafficStation::sendOne() {
  const PlannedFrame planned = plan_.next();
  const Mac& destination = !targets_.empty() ? targets_[counts_.framesSent % targets_.size()]
                           : planned.kind == DestinationKind::Broadcast ? kBroadcast
                           : planned.kind == DestinationKind::Multicast && !groups_.empty()
                               ? groups_.front()
                               : peer_;
  handDown(destination, planned.length, planned.pieces);
}

void TrafficStation::sendShaped(const Mac& destination, std::size_t length,
                                const std::vector<std::size_t>& pieces) {
  ++planned_;
  handDown(destination, length, pieces);
}

void TrafficStation::handDown(const Mac& destination, std::size_t length,
                              const std::vector<std::size_t>& pieces) {
  const auto sequence = static_cast<std::uint32_t>(counts_.framesSent);
  buildTestFrame(sending_, destination, address_, {stream_, sequence}, length);
  const std::vector<std::uint8_t>& frame = sending_;
  if (sendObserver_) {
    sendObserver_(frame);
  }
  sentTo_.push_back(destination);
  NDIS_PACKET& ndis = packets_.lend(frame, pieces).ndis();
  ++counts_.framesSent;
  counts_.bytesSent += frame.size();
  // A status other than pending has already come back through sendComplete.
  adapter_.send(ndis);
}

void TrafficStation::sendComplete(MiniportAdapter& /*adapter*/, NDIS_PACKET& packet,
                                  NDIS_STATUS status) {
  if (!packets_.giveBack(packet)) {
    ++counts_.strayCompletions;
    return;
  }
  if (status == NDIS_STATUS_SUCCESS) {
    ++counts_.sendsCompleted;
  } else if (status == NDIS_STATUS_REQUEST_ABORTED) {
    ++counts_.sendsAborted;
  } else {
    ++counts_.sendsFailed;
  }
}

void TrafficStation::receive(MiniportAdapter& adapter, std::span<const std::uint8_t> header,
                             std::span<const std::uint8_t> lookahead, UINT packetSize) {
  if (collectFrame(adapter, header, lookahead, packetSize, receiving_, *transferSpace_)) {
    account(receiving_);
  } else {
    ++counts_.transferFailures;
  }
}

void TrafficStation::account(std::span<const std::uint8_t> frame) {
  if (!looksLikeTestFrame(frame)) {
    ++counts_.foreign;
    return;
  }
  const std::optional<CheckedFrame> checked = checkTestFrame(frame);
  if (!checked) {
    ++counts_.damaged;
    return;
  }
  const FrameIdentity& identity = checked->identity;
  Receipt& receipt = receipts_[identity.stream];
  // Grown by half again at a time rather than by one a frame; a sequence
  // past the frames sent reads as not seen either way.
  if (receipt.seen.size() <= identity.sequence) {
    receipt.seen.resize(std::max<std::size_t>(identity.sequence + 1, receipt.seen.size() * 3 / 2));
  }
  if (receipt.seen[identity.sequence]) {
    ++counts_.duplicates;
    return;
  }
  receipt.seen[identity.sequence] = true;
  if (receipt.newest && *receipt.newest > identity.sequence) {
    ++counts_.outOfOrder;
  }
  receipt.newest = std::max(receipt.newest.value_or(0), identity.sequence);
  ++counts_.framesReceived;
  counts_.bytesReceived += checked->length;
}

bool TrafficStation::received(std::uint8_t stream, std::uint64_t sequence) const {
  const auto it = receipts_.find(stream);
  return it != receipts_.end() && sequence < it->second.seen.size() && it->second.seen[sequence];
}

std::uint64_t TrafficStation::missingFrom(std::uint8_t stream, std::uint64_t sent) const {
  const auto it = receipts_.find(stream);
  if (it == receipts_.end()) {
    return sent;
  }
  std::uint64_t missing = 0;
  for (std::uint64_t i = 0; i < sent; ++i) {
    missing += (i >= it->second.seen.size() || !it->second.seen[i]) ? 1 : 0;
  }
  return missing;
}

}  // namespace kl::sim::world
