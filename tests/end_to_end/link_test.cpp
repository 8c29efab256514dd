// The link under the driver: a cable pulled in the middle of traffic and
// plugged back, and a switch port that changes what it offers. The driver
// follows each change through the PHY's interrupt, without touching the
// receive ring, and nothing is lost but what was sent while the link was
// down.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include "end_to_end/two_stations.h"
#include "sim/card/phy/link_partner.h"
#include "sim/net/frame_endpoint.h"
#include "sim/world/card_world.h"
#include "sim/world/patch_cable.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;

constexpr ULONG kConnected = NdisMediaStateConnected;
constexpr ULONG kDisconnected = NdisMediaStateDisconnected;
constexpr std::uint8_t kMiimrFullDuplex = 0x40;

TEST(LinkDuringTraffic, APulledCableLosesOnlyWhatWasOnTheWireWhileItWasOut) {
  constexpr std::uint64_t kSeed = 4101;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  TwoStations world(kSeed);
  world.bringUp();
  sim::world::PatchCable& cable = world.pair().cable();

  // Which frames of each stream the wire carried across.
  std::array<std::set<std::uint32_t>, 2> crossed;
  cable.cable().onFrame(
      [&](const sim::net::WireFrame& frame, sim::net::Cable::Side from, sim::VirtualTime) {
        const std::span<const std::uint8_t> bytes(frame.bytes);
        if (const auto checked = sim::world::checkTestFrame(bytes.first(bytes.size() - 4))) {
          crossed[from == sim::net::Cable::Side::A ? 0 : 1].insert(checked->identity.sequence);
        }
      });
  std::optional<ULONG> whilePulled;
  bool pulled = false;
  sim::world::TrafficRun run;
  run.progress = [&](sim::Duration elapsed) {
    if (!pulled && elapsed >= 20ms) {
      pulled = true;
      cable.setConnected(false);
    } else if (pulled && !whilePulled && elapsed >= 60ms) {
      whilePulled = sim::world::queryUlong(world.pair().adapter(0), OID_GEN_MEDIA_CONNECT_STATUS);
      cable.setConnected(true);
    }
  };
  ASSERT_TRUE(world.exchange(20000, run));
  EXPECT_EQ(whilePulled, kDisconnected);
  for (std::size_t side = 0; side < 2; ++side) {
    EXPECT_EQ(sim::world::queryUlong(world.pair().adapter(side), OID_GEN_MEDIA_CONNECT_STATUS),
              kConnected);
  }

  for (std::size_t side = 0; side < 2; ++side) {
    SCOPED_TRACE("frames from station " + std::to_string(side));
    const sim::world::TrafficStation& sender = world.station(side);
    const sim::world::TrafficStation& receiver = world.station(1 - side);
    const std::uint64_t sent = sender.counts().framesSent;
    // Every frame the wire carried was received: the ring lost nothing.
    EXPECT_EQ(receiver.counts().framesReceived, crossed[side].size());
    // The ones it did not carry are one run, the time the cable was out.
    const std::uint64_t missing = receiver.missingFrom(sender.stream(), sent);
    ASSERT_GT(missing, 0U) << "nothing was lost while the cable was out";
    std::uint32_t first = 0;
    while (crossed[side].contains(first)) {
      ++first;
    }
    EXPECT_EQ(receiver.missingFrom(sender.stream(), first + missing), missing)
        << "frames were lost apart from the run from " << first;
    EXPECT_EQ(receiver.counts().damaged, 0U);
    EXPECT_EQ(receiver.counts().duplicates, 0U);
    EXPECT_EQ(receiver.counts().outOfOrder, 0U);
    EXPECT_EQ(sender.counts().sendsCompleted + sender.counts().sendsFailed, sent);
  }
}

// One adapter behind a switch port: what the port offers decides the link,
// and the driver's answers follow each change.
class SwitchPort : public ::testing::Test {
 protected:
  SwitchPort() {
    machine().onViolation([](const std::string& what) { ADD_FAILURE() << what; });
    EXPECT_EQ(driver_.load(machine()), STATUS_SUCCESS);
  }

  sim::Machine& machine() { return world_.machine(); }
  ULONG ask(NDIS_OID oid) { return sim::world::queryUlong(adapter_, oid).value_or(0xFFFFFFFF); }

  DriverUnderTest driver_;
  sim::world::CardWorld world_;
  sim::world::SlotSetup slot_{.card = {.prom = sim::card::wordWidePromImage(kFirstStation)}};
  sim::card::Card& card_ = *world_.addCard(slot_.card, slot_.base, slot_.vector);
  sim::MiniportAdapter& adapter_ = world_.addAdapter(sim::world::adapterSetupFor(slot_));
  sim::card::LinkPartner partner_;
  sim::world::PatchCable cable_{machine().clock(), card_, partner_};
  sim::net::FrameEndpoint far_{cable_.cable().end(sim::net::Cable::Side::B), machine().clock()};
};

struct PortCase {
  const char* name;
  sim::card::LinkSignal offer;
  ULONG status;
  ULONG speed;  // in 100 bit/s
  bool macFullDuplex = false;
};

class PortOffers : public SwitchPort, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortOffers, TheDriverFollowsTheLink) {
  const PortCase& c = GetParam();
  ASSERT_EQ(adapter_.initialize(), NDIS_STATUS_SUCCESS);
  machine().runFor(2s);
  ASSERT_EQ(ask(OID_GEN_MEDIA_CONNECT_STATUS), kConnected);
  ASSERT_EQ(ask(OID_GEN_LINK_SPEED), 1000000U);

  if (c.offer.kind == sim::card::LinkSignal::Kind::None) {
    partner_.silence();
  } else if (c.offer.kind == sim::card::LinkSignal::Kind::Forced) {
    partner_.force(c.offer.forced);
  } else {
    partner_.negotiate(c.offer.advertisement);
  }
  // Negotiation and the driver's re-enabling of auto-negotiation take their
  // time; the answers must then hold.
  machine().runFor(5s);
  EXPECT_EQ(ask(OID_GEN_MEDIA_CONNECT_STATUS), c.status);
  if (c.status == kConnected) {
    EXPECT_EQ(ask(OID_GEN_LINK_SPEED), c.speed);
    EXPECT_EQ((card_.controller().miimr() & kMiimrFullDuplex) != 0, c.macFullDuplex);
    // And frames cross at that speed.
    const std::vector<std::uint8_t> frame = sim::world::buildTestFrame(
        kFirstStation, {0x02, 0, 0, 0, 0, 9}, {7, 0}, sim::world::kSmallestTestFrame);
    sim::world::TrafficStation station(adapter_, 0, 1, {});
    ASSERT_EQ(station.open(kUsualFilter, kGroup), NDIS_STATUS_SUCCESS);
    far_.send(frame);
    machine().runFor(1ms);
    EXPECT_EQ(station.counts().framesReceived, 1U);
  }
  adapter_.halt();
}

using sim::card::Duplex;
using sim::card::LinkSignal;
using sim::card::Speed;
namespace ability = sim::card::ability;

INSTANTIATE_TEST_SUITE_P(
    Changes, PortOffers,
    ::testing::Values(
        PortCase{"Silent", LinkSignal::none(), kDisconnected, 0},
        PortCase{"Forced10Half", LinkSignal::forcedTo({Speed::Mbit10, Duplex::Half}), kConnected,
                 100000},
        PortCase{"Forced100Half", LinkSignal::forcedTo({Speed::Mbit100, Duplex::Half}), kConnected,
                 1000000},
        PortCase{"Offers10Only", LinkSignal::negotiating(ability::k10BaseT | ability::k10BaseTFull),
                 kConnected, 100000, true},
        PortCase{"Offers100HalfAnd10Full",
                 LinkSignal::negotiating(ability::k100BaseTx | ability::k10BaseTFull), kConnected,
                 1000000, false},
        PortCase{"OffersAll", LinkSignal::negotiating(ability::kAll), kConnected, 1000000, true}),
    [](const auto& param) { return std::string(param.param.name); });

// The ConnectionType of either adapter rules the link between two cards, in
// either order of initialization: the PHY of the card that comes up second
// has negotiated already, with what it advertised before its driver loaded.
struct SettingCase {
  const char* name;
  std::uint32_t connectionType;
  sim::card::LinkMode mode;
  ULONG speed;  // in 100 bit/s
};

class Setting : public ::testing::TestWithParam<std::tuple<SettingCase, std::size_t, std::size_t>> {
};

TEST_P(Setting, RulesTheLinkOnEitherCardInEitherOrder) {
  const auto& [c, configured, first] = GetParam();
  auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  slots[configured].adapter.keywords["ConnectionType"] = c.connectionType;
  TwoStations world(4102, {}, slots);
  world.bringUp(kUsualFilter, {first, 1 - first});
  world.machine().runFor(3s);  // whatever the first adapter makes of the renegotiation
  for (std::size_t side = 0; side < 2; ++side) {
    SCOPED_TRACE("side " + std::to_string(side));
    sim::card::Card& card = world.pair().card(side);
    ASSERT_TRUE(card.phy()->link().up);
    EXPECT_EQ(card.phy()->link().mode, c.mode);
    EXPECT_EQ(sim::world::queryUlong(world.pair().adapter(side), OID_GEN_LINK_SPEED), c.speed);
    EXPECT_EQ((card.controller().miimr() & kMiimrFullDuplex) != 0, c.mode.duplex == Duplex::Full);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ConnectionTypes, Setting,
    ::testing::Combine(
        ::testing::Values(SettingCase{"TenHalf", 1, {Speed::Mbit10, Duplex::Half}, 100000},
                          SettingCase{"TenFull", 2, {Speed::Mbit10, Duplex::Full}, 100000},
                          SettingCase{"HundredHalf", 3, {Speed::Mbit100, Duplex::Half}, 1000000},
                          SettingCase{"HundredFull", 4, {Speed::Mbit100, Duplex::Full}, 1000000}),
        ::testing::Values(std::size_t{0}, std::size_t{1}),
        ::testing::Values(std::size_t{0}, std::size_t{1})),
    [](const auto& param) {
      return std::string(std::get<0>(param.param).name) + "OnAdapter" +
             std::to_string(std::get<1>(param.param) + 1) + "Adapter" +
             std::to_string(std::get<2>(param.param) + 1) + "First";
    });

}  // namespace
}  // namespace kl::test
