// One adapter brought up through the driver on a card whose cable leads to a
// test's own port instead of a second card: the port negotiates every 10/100
// ability, puts frames on the wire as fast as the wire carries them, and
// keeps every frame the adapter sends. A traffic station is bound to the
// adapter.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/card/phy/link_partner.h"
#include "sim/net/station.h"
#include "sim/world/card_world.h"
#include "sim/world/patch_cable.h"
#include "sim/world/test_frames.h"
#include "sim/world/traffic_station.h"
#include "support/driver_under_test.h"

namespace kl::test {

inline constexpr sim::card::MacAddress kAdapterStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x0C};
inline constexpr sim::world::Mac kPortStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0xEE};
// The stream number of the test frames the port sends.
inline constexpr std::uint8_t kPortStream = 7;

class CardOnEndpoint {
 public:
  struct Arrival {
    std::vector<std::uint8_t> frame;  // without FCS
    sim::VirtualTime at{};
  };

  CardOnEndpoint(sim::card::BusWidth width, std::uint64_t seed,
                 const sim::world::TrafficShape& shape);
  CardOnEndpoint(const CardOnEndpoint&) = delete;
  CardOnEndpoint& operator=(const CardOnEndpoint&) = delete;
  // Halts the adapter if it is still initialized.
  ~CardOnEndpoint();

  [[nodiscard]] sim::Machine& machine() { return world_.machine(); }
  [[nodiscard]] sim::card::Card& card() { return world_.card(0); }
  [[nodiscard]] sim::MiniportAdapter& adapter() { return *adapter_; }
  [[nodiscard]] sim::world::TrafficStation& station() { return *station_; }

  // Initializes the adapter, waits for the link and opens the station.
  // Fails the test when any of it does not succeed.
  void bringUp();

  // Puts `count` test frames of `length` bytes for the adapter on the wire,
  // back to back, numbered on from the port's last one. Returns when the last
  // of them will have left.
  sim::VirtualTime burst(std::size_t count, std::size_t length);
  [[nodiscard]] std::uint32_t framesBurst() const { return nextSequence_; }

  // Other DISPATCH-level work (another driver's DPC) keeps the processor for
  // `duration`: the card's interrupt is still taken and masked, but the
  // adapter's interrupt DPC waits. `atEnd` runs as the last of that work,
  // before the DPC gets its turn.
  void holdDispatch(sim::Duration duration, const std::function<void()>& atEnd = {});

  // Every frame the adapter put on the wire, in order of arrival.
  [[nodiscard]] const std::vector<Arrival>& arrivals() const { return port_.arrivals; }

 private:
  class Port final : public sim::net::Station {
   public:
    explicit Port(const sim::Clock& clock) : clock_(clock) {}
    void frameArrived(const sim::net::WireFrame& frame) override;
    std::vector<Arrival> arrivals;

   private:
    const sim::Clock& clock_;
  };

  DriverUnderTest driver_;  // outlives the machine, which may run its image
  sim::world::CardWorld world_;
  sim::MiniportAdapter* adapter_ = nullptr;
  sim::card::LinkPartner partner_;
  Port port_;
  std::unique_ptr<sim::world::PatchCable> cable_;
  std::unique_ptr<sim::world::TrafficStation> station_;
  std::uint32_t nextSequence_ = 0;
};

}  // namespace kl::test
