#include "end_to_end/far_end.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "end_to_end/two_stations.h"
#include "sim/net/ethernet.h"

namespace kl::test {

using namespace std::chrono_literals;

namespace {

constexpr sim::PortAddress kIoBase = 0x300;
constexpr UINT kVector = 3;
constexpr sim::Duration kLinkPoll = 10ms;
// Time after the last frame of a burst has left for it to arrive and for the
// driver to take it out of the ring, at either bit rate.
constexpr sim::Duration kDrain = 5ms;

sim::card::CardConfig CardOf(sim::card::BusWidth width) {
  return {.busWidth = width,
          .prom = width == sim::card::BusWidth::Word ? sim::card::wordWidePromImage(kNearStation)
                                                     : sim::card::byteWidePromImage(kNearStation)};
}

sim::AdapterSetup adapterSetup() {
  sim::AdapterSetup setup;
  setup.keywords.emplace("IoBaseAddress", static_cast<std::uint32_t>(kIoBase));
  setup.keywords.emplace("InterruptNumber", static_cast<std::uint32_t>(kVector));
  return setup;
}

}  // namespace

sim::net::WireFrame goodFrame(std::span<const std::uint8_t> frame) {
  return sim::net::WireFrame{sim::net::withFcs(frame)};
}

void FrameRecorder::send(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> frame) {
  auto packet = sim::Packet::fromBytes(frame);
  NDIS_PACKET& ndis = packet->ndis();
  held_.emplace(&ndis, std::move(packet));
  // A status other than pending has already come back through sendComplete.
  adapter.send(ndis);
}

void FrameRecorder::sendComplete(sim::MiniportAdapter& /*adapter*/, NDIS_PACKET& packet,
                                 NDIS_STATUS status) {
  if (held_.erase(&packet) == 0) {
    ADD_FAILURE() << "a packet the protocol does not hold was completed";
    return;
  }
  ++(status == NDIS_STATUS_SUCCESS ? sendsCompleted_ : sendsFailed_);
}

void FrameRecorder::receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
                            std::span<const std::uint8_t> lookahead, UINT packetSize) {
  const auto frame = sim::receivedFrame(adapter, header, lookahead, packetSize);
  const auto checked =
      frame ? sim::world::checkTestFrame(*frame) : std::optional<sim::world::CheckedFrame>{};
  if (checked) {
    received_.push_back(checked->identity);
  } else {
    ++spoiled_;
  }
}

FarEnd::FarEnd(sim::card::BusWidth width) {
  machine().onViolation(
      [](const std::string& what) { ADD_FAILURE() << "NDIS rule broken: " << what; });
  EXPECT_EQ(driver_.load(machine()), STATUS_SUCCESS);
  sim::card::Card* card = world_.addCard(CardOf(width), kIoBase, kVector);
  adapter_ = &world_.addAdapter(adapterSetup());
  cable_ = std::make_unique<sim::world::PatchCable>(machine().clock(), *card, partner_);
  endpoint_ = std::make_unique<sim::net::FrameEndpoint>(
      cable_->cable().end(sim::net::Cable::Side::B), machine().clock());
}

FarEnd::~FarEnd() {
  adapter_->unbind();
  if (adapter_->initialized()) {
    adapter_->halt();
  }
}

void FarEnd::bringUp() {
  ASSERT_EQ(adapter_->initialize(), NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(waitForMedia(NdisMediaStateConnected, 5s)) << "the link never came up";
  adapter_->bind(recorder_);
}

void FarEnd::bringUp(std::uint64_t seed, const sim::world::TrafficShape& shape) {
  ASSERT_EQ(adapter_->initialize(), NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(waitForMedia(NdisMediaStateConnected, 5s)) << "the link never came up";
  station_ = std::make_unique<sim::world::TrafficStation>(*adapter_, 0, seed, shape);
  ASSERT_EQ(station_->open(kUsualFilter, kGroup), NDIS_STATUS_SUCCESS);
}

NDIS_STATUS FarEnd::setPacketFilter(ULONG filter) {
  std::uint8_t bytes[sizeof(ULONG)];
  std::memcpy(bytes, &filter, sizeof(filter));
  ULONG read = 0;
  ULONG needed = 0;
  return adapter_->set(OID_GEN_CURRENT_PACKET_FILTER, bytes, read, needed);
}

NDIS_STATUS FarEnd::setMulticastList(std::span<const sim::world::Mac> groups) {
  std::vector<std::uint8_t> bytes;
  for (const sim::world::Mac& group : groups) {
    bytes.insert(bytes.end(), group.begin(), group.end());
  }
  ULONG read = 0;
  ULONG needed = 0;
  return adapter_->set(OID_802_3_MULTICAST_LIST, bytes, read, needed);
}

std::optional<ULONG> FarEnd::query(NDIS_OID oid) {
  std::uint8_t bytes[sizeof(ULONG)] = {};
  ULONG written = 0;
  ULONG needed = 0;
  if (adapter_->query(oid, bytes, written, needed) != NDIS_STATUS_SUCCESS ||
      written != sizeof(ULONG)) {
    return std::nullopt;
  }
  ULONG value = 0;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

void FarEnd::deliver(std::vector<sim::net::WireFrame> frames) {
  sim::VirtualTime last = machine().now();
  for (sim::net::WireFrame& frame : frames) {
    last = endpoint_->sendRaw(std::move(frame)).leftAt;
  }
  run(last - machine().now() + kDrain);
}

sim::VirtualTime FarEnd::burst(std::size_t count, std::size_t length) {
  sim::VirtualTime last = machine().now();
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<std::uint8_t> frame = sim::world::buildTestFrame(
        kNearStation, kFarStation, {kFarStream, nextSequence_++}, length);
    last = endpoint_->send(frame).leftAt;
  }
  return last;
}

void FarEnd::holdDispatch(sim::Duration duration, const std::function<void()>& atEnd) {
  machine().atDispatch([&] {
    run(duration);
    if (atEnd) {
      atEnd();
    }
  });
}

void FarEnd::deliverHeldOff(std::vector<sim::net::WireFrame> frames,
                            const std::function<void()>& whileHeld) {
  machine().atDispatch([&] {
    deliver(std::move(frames));
    if (whileHeld) {
      whileHeld();
    }
  });
  run(kDrain);
}

bool FarEnd::waitForMedia(ULONG state, sim::Duration wait) {
  const sim::VirtualTime until = machine().now() + wait;
  while (query(OID_GEN_MEDIA_CONNECT_STATUS) != state) {
    if (machine().now() >= until) {
      return false;
    }
    run(kLinkPoll);
  }
  return true;
}

std::vector<sim::world::FrameIdentity> FarEnd::farEndReceived() const {
  std::vector<sim::world::FrameIdentity> identities;
  for (const sim::net::FrameEndpoint::Arrival& arrival : endpoint_->arrivals()) {
    const std::span<const std::uint8_t> bytes = arrival.frame.bytes;
    if (!sim::net::fcsValid(bytes)) {
      continue;
    }
    if (const auto checked =
            sim::world::checkTestFrame(bytes.first(bytes.size() - sim::net::kFcsBytes))) {
      identities.push_back(checked->identity);
    }
  }
  return identities;
}

}  // namespace kl::test
