// One adapter brought up through the driver on a card whose cable ends at a
// test's own endpoint behind a link partner: frames from the far end with any
// destination, a good or a bad FCS, aligned or not, bursts of test frames as
// fast as the wire carries them, and a link the test negotiates, pulls and
// plugs back. Above the adapter a recorder, or a traffic station, is bound.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sim/card/phy/link_partner.h"
#include "sim/core/clock.h"
#include "sim/host/machine.h"
#include "sim/host/miniport_adapter.h"
#include "sim/host/packet.h"
#include "sim/host/protocol.h"
#include "sim/net/frame_endpoint.h"
#include "sim/world/card_world.h"
#include "sim/world/patch_cable.h"
#include "sim/world/test_frames.h"
#include "sim/world/traffic_station.h"
#include "support/driver_under_test.h"
#include "support/timing_under_test.h"

namespace kl::test {

inline constexpr sim::world::Mac kNearStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x1A};
inline constexpr sim::world::Mac kFarStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x1F};
// The stream number of the test frames the far end bursts.
inline constexpr std::uint8_t kFarStream = 7;

// The protocol bound above the adapter: it keeps, in order, who sent each
// intact test frame indicated to it, fetching with transfer-data what the
// lookahead did not hold, and it hands down packets and takes them back.
class FrameRecorder final : public sim::Protocol {
 public:
  [[nodiscard]] const std::vector<sim::world::FrameIdentity>& received() const { return received_; }
  // Indicated frames that were not intact test frames, or whose rest could
  // not be fetched.
  [[nodiscard]] std::uint64_t spoiled() const { return spoiled_; }
  void clear() { received_.clear(); }

  // Hands `frame` down as one packet; it stays with the miniport until it is
  // completed.
  void send(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> frame);
  [[nodiscard]] std::uint64_t sendsCompleted() const { return sendsCompleted_; }
  [[nodiscard]] std::uint64_t sendsFailed() const { return sendsFailed_; }
  [[nodiscard]] std::size_t packetsHeld() const { return held_.size(); }

  void sendComplete(sim::MiniportAdapter& adapter, NDIS_PACKET& packet,
                    NDIS_STATUS status) override;
  void receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> lookahead, UINT packetSize) override;
  void receiveComplete(sim::MiniportAdapter& /*adapter*/) override {}

 private:
  std::vector<sim::world::FrameIdentity> received_;
  std::uint64_t spoiled_ = 0;
  std::map<const NDIS_PACKET*, std::unique_ptr<sim::Packet>> held_;
  std::uint64_t sendsCompleted_ = 0;
  std::uint64_t sendsFailed_ = 0;
};

class FarEnd {
 public:
  explicit FarEnd(sim::card::BusWidth width = sim::card::BusWidth::Word);
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;
  ~FarEnd();

  // Initializes the adapter, waits for its link and binds the recorder. Fails
  // the test when any of it does not succeed.
  void bringUp();
  // The same with a traffic station bound instead, seeded and shaped so, and
  // opened with the usual packet filter and group.
  void bringUp(std::uint64_t seed, const sim::world::TrafficShape& shape);

  [[nodiscard]] sim::Machine& machine() { return world_.machine(); }
  [[nodiscard]] sim::MiniportAdapter& adapter() { return *adapter_; }
  [[nodiscard]] sim::card::Card& card() { return world_.card(0); }
  // In front of the card: a test acts at any of the driver's port accesses.
  [[nodiscard]] sim::Interposer& interposer() { return world_.interposer(0); }
  [[nodiscard]] sim::card::LinkPartner& partner() { return partner_; }
  [[nodiscard]] sim::world::PatchCable& cable() { return *cable_; }
  [[nodiscard]] sim::net::FrameEndpoint& endpoint() { return *endpoint_; }
  [[nodiscard]] FrameRecorder& recorder() { return recorder_; }
  [[nodiscard]] sim::world::TrafficStation& station() { return *station_; }

  NDIS_STATUS setPacketFilter(ULONG filter);
  NDIS_STATUS setMulticastList(std::span<const sim::world::Mac> groups);
  [[nodiscard]] std::optional<ULONG> query(NDIS_OID oid);

  // Sends `frames` from the far end back to back, as they are, and runs the
  // machine until the last has arrived and the driver is done with it.
  void deliver(std::vector<sim::net::WireFrame> frames);
  // Puts `count` test frames of `length` bytes for the adapter on the wire,
  // back to back, numbered on from the last one in stream kFarStream, and
  // returns at once, with the time the last of them will have left.
  sim::VirtualTime burst(std::size_t count, std::size_t length);
  [[nodiscard]] std::uint32_t framesBurst() const { return nextSequence_; }
  // Other DISPATCH-level work (another driver's DPC) keeps the processor for
  // `duration`: the card's interrupt is still taken and masked, but the
  // adapter's interrupt DPC waits. `atEnd` runs as the last of that work.
  void holdDispatch(sim::Duration duration, const std::function<void()>& atEnd = {});
  // The same while the driver is kept from serving the card: a serialised
  // handler runs for the whole burst, as one that busy-waits would, so the
  // card's interrupt is taken and masked but the work it queues must wait.
  // `whileHeld` runs at the end of the burst, before the driver gets to work.
  void deliverHeldOff(std::vector<sim::net::WireFrame> frames,
                      const std::function<void()>& whileHeld = {});
  // Runs the machine for `duration` of virtual time.
  void run(sim::Duration duration) { machine().runFor(duration); }
  // Runs the machine until the adapter reports `connected`, or `wait` has
  // passed; returns whether it does.
  bool waitForMedia(ULONG state, sim::Duration wait);

  // Test frames the adapter sent and the far end received intact, in order,
  // FCS checked.
  [[nodiscard]] std::vector<sim::world::FrameIdentity> farEndReceived() const;

 private:
  DriverUnderTest driver_;  // outlives the machine, which may run its image
  sim::world::CardWorld world_{
      sim::MachineSetup{.timing = TimingUnderTest(sim::WorldRandom::kDefaultSeed)}};
  sim::MiniportAdapter* adapter_ = nullptr;
  sim::card::LinkPartner partner_;
  std::unique_ptr<sim::world::PatchCable> cable_;
  std::unique_ptr<sim::net::FrameEndpoint> endpoint_;
  FrameRecorder recorder_;
  std::unique_ptr<sim::world::TrafficStation> station_;
  std::uint32_t nextSequence_ = 0;
};

// A wire frame with the FCS of `frame`.
[[nodiscard]] sim::net::WireFrame goodFrame(std::span<const std::uint8_t> frame);

}  // namespace kl::test
