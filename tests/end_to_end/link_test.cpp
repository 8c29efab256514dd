// The link under the driver: a cable pulled in the middle of traffic and
// plugged back, and a switch port that changes what it offers. The driver
// follows each change through the PHY's interrupt, without touching the
// receive ring, and nothing is lost but what was sent while the link was
// down.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "end_to_end/two_stations.h"
#include "sim/card/pc_card.h"
#include "sim/card/phy/link_partner.h"
#include "sim/net/frame_endpoint.h"
#include "sim/world/card_world.h"
#include "sim/world/patch_cable.h"
#include "support/timing_under_test.h"

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
  ASSERT_TRUE(world.pair().waitForLink(5s));
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
constexpr std::uint64_t kPortSeed = 4103;

struct PortWorld {
  explicit PortWorld(
      sim::world::SlotSetup slot = {.card = {.prom = sim::card::wordWidePromImage(kFirstStation)}})
      : slot_(std::move(slot)) {
    machine().onViolation([](const std::string& what) { ADD_FAILURE() << what; });
    EXPECT_EQ(driver_.load(machine()), STATUS_SUCCESS);
  }

  sim::Machine& machine() { return world_.machine(); }
  ULONG ask(NDIS_OID oid) { return sim::world::queryUlong(adapter_, oid).value_or(0xFFFFFFFF); }

  DriverUnderTest driver_;
  sim::world::CardWorld world_{sim::MachineSetup{.timing = TimingUnderTest(kPortSeed)}};
  sim::world::SlotSetup slot_;
  sim::card::Card& card_ = *world_.addCard(slot_.card, slot_.base, slot_.vector);
  sim::MiniportAdapter& adapter_ = world_.addAdapter(sim::world::adapterSetupFor(slot_));
  sim::card::LinkPartner partner_;
  sim::world::PatchCable cable_{machine().clock(), card_, partner_};
  sim::net::FrameEndpoint far_{cable_.cable().end(sim::net::Cable::Side::B), machine().clock()};
};

// The card's PHY is any part the driver knows by its identifier, or one it
// does not (whose speed it never takes as 100 Mbit/s), or one whose
// abilities are strapped.
struct PortCase {
  const char* name;
  sim::card::LinkSignal offer;
  ULONG status;
  ULONG speed;  // in 100 bit/s
  bool macFullDuplex = false;
  sim::card::PhyConfig phy{};
};

sim::card::PhyConfig Part(const sim::card::PhyModel& model) { return {.model = model}; }

// A part whose ANAR ability bits are strapped to `abilities`.
sim::card::PhyConfig Strapped(std::uint16_t abilities) {
  return {.anarAtReset = static_cast<std::uint16_t>(abilities | sim::card::ability::kSelector8023),
          .anarReadOnly = sim::card::ability::kAll};
}

sim::world::SlotSetup SlotWith(const sim::card::PhyConfig& phy) {
  return {.card = {.prom = sim::card::wordWidePromImage(kFirstStation), .phy = phy}};
}

class PortOffers : public ::testing::TestWithParam<PortCase>, protected PortWorld {
 protected:
  PortOffers() : PortWorld(SlotWith(GetParam().phy)) {}
};

TEST_P(PortOffers, TheDriverFollowsTheLink) {
  const PortCase& c = GetParam();
  ASSERT_EQ(adapter_.initialize(), NDIS_STATUS_SUCCESS);
  machine().runFor(5s);
  ASSERT_EQ(ask(OID_GEN_MEDIA_CONNECT_STATUS), kConnected);

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
        PortCase{"OffersAll", LinkSignal::negotiating(ability::kAll), kConnected, 1000000, true},
        PortCase{"OffersHalfOnly", LinkSignal::negotiating(ability::k100BaseTx | ability::k10BaseT),
                 kConnected, 1000000, false},
        PortCase{"OffersNothingOfTheirs", LinkSignal::negotiating(ability::k10BaseTFull),
                 kDisconnected, 0, false, Strapped(ability::k100BaseTx)},
        PortCase{"P8201Offers10Only", LinkSignal::negotiating(ability::k10BaseT), kConnected,
                 100000, false, Part(sim::card::phy8201())},
        PortCase{"P8201Forced100Half", LinkSignal::forcedTo({Speed::Mbit100, Duplex::Half}),
                 kConnected, 1000000, false, Part(sim::card::phy8201())},
        PortCase{"P5C21OffersAll", LinkSignal::negotiating(ability::kAll), kConnected, 1000000,
                 true, Part(sim::card::phy5C21())},
        PortCase{"P5C21Forced10Half", LinkSignal::forcedTo({Speed::Mbit10, Duplex::Half}),
                 kConnected, 100000, false, Part(sim::card::phy5C21())},
        PortCase{"GenericOffersAll", LinkSignal::negotiating(ability::kAll), kConnected, 100000,
                 true, Part(sim::card::genericPhy(0x01410CC2))}),
    [](const auto& param) { return std::string(param.param.name); });

// The partner acts at a moment of MiniportInitialize: at one of its port
// accesses, or at one millisecond of its time, waits included (the PHY's
// settle, and its negotiation when the setting starts it afresh). Whatever
// the moment, once the link has had its time the adapter reports it as the
// PHY has it: connected or not, at its speed, with the MAC at its duplex.
// The card is the PC Card, whose bring-up searches no memory: the accesses
// are the PHY's and the controller's, and each is tried.
enum class Act : std::uint8_t { Renegotiates, Pulled, PulledAndPlugged, Plugged };

struct ActRow {
  std::string name;
  Act act;
  std::uint32_t connectionType = 0;
};

void PrintTo(const ActRow& row, std::ostream* out) { *out << row.name; }

// Longer than any link, and the driver's wait for it, take to settle.
constexpr sim::Duration kLinkSettles = 8s;

class PartnerDuringInitialize : public ::testing::TestWithParam<ActRow> {
 protected:
  // The PHY has negotiated before the adapter is initialized, or, for a
  // plug, has been without a cable since before.
  [[nodiscard]] std::unique_ptr<PortWorld> arranged() const {
    sim::world::SlotSetup slot{.card = {.prom = sim::card::erasedPromImage()}};
    slot.adapter.keywords = {{"CardType", std::uint32_t{1}},
                             {"ConnectionType", GetParam().connectionType}};
    slot.adapter.attributeMemory = sim::card::pcCardAttributeMemory(kFirstStation);
    auto world = std::make_unique<PortWorld>(slot);
    if (GetParam().act == Act::Plugged) {
      world->cable_.setConnected(false);
    }
    world->machine().runFor(kLinkSettles);
    return world;
  }

  void act(PortWorld& world) const {
    switch (GetParam().act) {
      case Act::Renegotiates:
        world.partner_.negotiate(sim::card::ability::k100BaseTx | sim::card::ability::k10BaseTFull);
        break;
      case Act::Pulled:
        world.cable_.setConnected(false);
        break;
      case Act::PulledAndPlugged:
        world.cable_.setConnected(false);
        world.machine().clock().scheduleIn(1ms, [&world] { world.cable_.setConnected(true); });
        break;
      case Act::Plugged:
        world.cable_.setConnected(true);
        break;
    }
  }

  // Initializes the adapter in `world`, lets the link settle, and checks
  // the adapter's answers against the PHY's link.
  static void expectAsThePhyHasIt(PortWorld& world) {
    ASSERT_EQ(world.adapter_.initialize(), NDIS_STATUS_SUCCESS);
    world.machine().runFor(kLinkSettles);
    const sim::card::LinkResult& link = world.card_.phy()->link();
    EXPECT_EQ(world.ask(OID_GEN_MEDIA_CONNECT_STATUS), link.up ? kConnected : kDisconnected);
    if (link.up) {
      EXPECT_EQ(world.ask(OID_GEN_LINK_SPEED),
                link.mode.speed == sim::card::Speed::Mbit100 ? 1000000U : 100000U);
      EXPECT_EQ((world.card_.controller().miimr() & kMiimrFullDuplex) != 0,
                link.mode.duplex == Duplex::Full);
    }
    world.adapter_.halt();
  }
};

TEST_P(PartnerDuringInitialize, AtEveryPortAccess) {
  std::uint64_t accesses = 0;
  {
    const auto counting = arranged();
    counting->world_.interposer(0).setHook([](std::uint64_t, std::uint16_t, sim::Direction) {});
    ASSERT_EQ(counting->adapter_.initialize(), NDIS_STATUS_SUCCESS);
    accesses = counting->world_.interposer(0).accesses();
    counting->adapter_.halt();
  }
  for (std::uint64_t at = 0; at < accesses && !HasFailure(); ++at) {
    SCOPED_TRACE("at access " + std::to_string(at) + " of " + std::to_string(accesses));
    const auto world = arranged();
    world->world_.interposer(0).setHook(
        [this, at, &world](std::uint64_t access, std::uint16_t, sim::Direction) {
          if (access == at) {
            act(*world);
          }
        });
    expectAsThePhyHasIt(*world);
  }
}

TEST_P(PartnerDuringInitialize, AtEveryMillisecond) {
  sim::Duration lasts{};
  {
    const auto timing = arranged();
    const sim::VirtualTime start = timing->machine().now();
    ASSERT_EQ(timing->adapter_.initialize(), NDIS_STATUS_SUCCESS);
    lasts = timing->machine().now() - start;
    timing->adapter_.halt();
  }
  for (sim::Duration at{}; at <= lasts && !HasFailure(); at += 1ms) {
    SCOPED_TRACE("at " + std::to_string(at / 1ms) + " ms of " + std::to_string(lasts / 1ms));
    const auto world = arranged();
    world->machine().clock().scheduleIn(at, [this, &world] { act(*world); });
    expectAsThePhyHasIt(*world);
  }
}

INSTANTIATE_TEST_SUITE_P(Acts, PartnerDuringInitialize,
                         ::testing::Values(ActRow{"Renegotiates", Act::Renegotiates},
                                           ActRow{"RenegotiatesWithASetting", Act::Renegotiates, 4},
                                           ActRow{"Pulled", Act::Pulled},
                                           ActRow{"PulledAndPlugged", Act::PulledAndPlugged},
                                           ActRow{"Plugged", Act::Plugged},
                                           ActRow{"PluggedWithASetting", Act::Plugged, 3}),
                         [](const auto& param) { return param.param.name; });

// The ConnectionType of either adapter rules the link between two cards, in
// either order of initialization: both PHYs have negotiated already, with
// what they advertised before their drivers loaded. The configured adapter
// is up at its setting's speed and duplex when its initialize returns, before
// any later PHY event, and both are once the link has settled.
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
  world.machine().runFor(5s);
  for (const std::size_t side : {first, 1 - first}) {
    sim::MiniportAdapter& adapter = world.pair().adapter(side);
    ASSERT_EQ(adapter.initialize(), NDIS_STATUS_SUCCESS);
    if (side == configured) {
      SCOPED_TRACE("configured side, at once");
      EXPECT_EQ(sim::world::queryUlong(adapter, OID_GEN_MEDIA_CONNECT_STATUS), kConnected);
      EXPECT_EQ(sim::world::queryUlong(adapter, OID_GEN_LINK_SPEED), c.speed);
      EXPECT_EQ((world.pair().card(side).controller().miimr() & kMiimrFullDuplex) != 0,
                c.mode.duplex == Duplex::Full);
    }
  }
  world.machine().runFor(5s);  // whatever the other adapter makes of the renegotiation
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
