// Every NDIS call that can fail, failed in turn during the initialize of the
// second of two adapters while the first runs: the calls a clean initialize
// makes are counted first, then each is failed alone. The initialize fails
// with its status and log entry, or, where a keyword read fails, carries on
// with the keyword's default as if it were absent; it gives back everything
// it took (the host checks) and disturbs nothing of the running adapter. The
// next initialize, with nothing failing, comes up as the clean one did and
// carries traffic both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "end_to_end/two_stations.h"
#include "sim/card/pc_card.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::NdisOperation;
using Mac = std::array<std::uint8_t, 6>;

constexpr Mac kAttributeAddress = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0xAA};
constexpr Mac kOverride = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
// What the failed call says; the driver passes it on where it returns a
// call's status.
constexpr NDIS_STATUS kFailure = NDIS_STATUS_RESOURCES;
constexpr ULONG kAdapterNotFound = 0xC000138B;
constexpr ULONG kInterruptConnect = 0xC000138C;
constexpr ULONG kUnsupportedConfiguration = 0xC0001391;
constexpr ULONG k10Mbps = 100000;  // in units of 100 bit/s
constexpr ULONG k100Mbps = 1000000;

// What an initialize of the second adapter comes to, as NDIS and a protocol
// see it.
struct Outcome {
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  std::vector<std::pair<ULONG, std::vector<ULONG>>> logged;
  // Once it is up, with its link.
  NDIS_INTERFACE_TYPE bus = NdisInterfaceIsa;
  Mac permanent{};
  Mac current{};
  ULONG multicastList = 0;
  ULONG speed = 0;

  friend bool operator==(const Outcome&, const Outcome&) = default;
};

std::string Describe(const Outcome& outcome) {
  std::ostringstream out;
  out << std::hex << "status 0x" << outcome.status << ", log {";
  for (const auto& [code, values] : outcome.logged) {
    out << " 0x" << code << " (" << values.size() << " values)";
  }
  out << " }";
  if (outcome.status == NDIS_STATUS_SUCCESS) {
    out << std::dec << ", bus " << outcome.bus << ", address ..."
        << static_cast<int>(outcome.permanent[5]) << " current ..."
        << static_cast<int>(outcome.current[5]) << ", list " << outcome.multicastList << ", speed "
        << outcome.speed;
  }
  return out.str();
}

Outcome Refused(NDIS_STATUS status, std::optional<ULONG> code = std::nullopt,
                std::vector<ULONG> values = {}) {
  Outcome outcome{.status = status};
  if (code) {
    outcome.logged.emplace_back(*code, std::move(values));
  }
  return outcome;
}

// One failing call and what it leads to: the clean outcome changed so.
struct FailurePoint {
  NdisOperation operation;
  const char* keyword;  // the keyword read, for NdisReadConfiguration
  std::function<void(Outcome&)> expect;
};

struct Walk {
  const char* name;
  std::function<void(sim::world::SlotSetup&)> shape;  // of the second slot
  Outcome clean;
  std::vector<FailurePoint> points;
};

// A failing row names its walk rather than dumping its bytes.
void PrintTo(const Walk& walk, std::ostream* out) { *out << walk.name; }

std::function<void(Outcome&)> Becomes(const Outcome& failed) {
  return [failed](Outcome& outcome) { outcome = failed; };
}

const std::function<void(Outcome&)> kAsClean = [](Outcome&) {};

Mac Query6(sim::MiniportAdapter& adapter, NDIS_OID oid) {
  Mac value{};
  ULONG written = 0;
  ULONG needed = 0;
  EXPECT_EQ(adapter.query(oid, value, written, needed), NDIS_STATUS_SUCCESS);
  return value;
}

// Initializes the second adapter and tells what came of it.
Outcome InitializeSecond(TwoStations& world) {
  sim::MiniportAdapter& adapter = world.pair().adapter(1);
  const std::size_t logBefore = world.machine().errorLog().size();
  Outcome outcome{.status = adapter.initialize()};
  const auto& log = world.machine().errorLog();
  for (std::size_t i = logBefore; i < log.size(); ++i) {
    EXPECT_EQ(log[i].adapter, adapter.handle()) << "an entry logged for the other adapter";
    outcome.logged.emplace_back(log[i].code, log[i].values);
  }
  if (outcome.status != NDIS_STATUS_SUCCESS) {
    return outcome;
  }
  EXPECT_TRUE(world.pair().waitForLink(5s)) << "the link never came up";
  outcome.bus = adapter.interfaceType();
  outcome.permanent = Query6(adapter, OID_802_3_PERMANENT_ADDRESS);
  outcome.current = Query6(adapter, OID_802_3_CURRENT_ADDRESS);
  outcome.multicastList = sim::world::queryUlong(adapter, OID_802_3_MAXIMUM_LIST_SIZE).value_or(0);
  outcome.speed = sim::world::queryUlong(adapter, OID_GEN_LINK_SPEED).value_or(0);
  return outcome;
}

std::array<sim::world::SlotSetup, 2> SlotsFor(const Walk& walk) {
  auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  walk.shape(slots[1]);
  return slots;
}

// The failable calls the second adapter's clean initialize makes, each with
// its ordinal among the calls of its operation and, for a keyword read, the
// keyword.
struct Call {
  NdisOperation operation;
  std::uint64_t ordinal;
  std::string keyword;
};

std::vector<Call> CountCalls(const Walk& walk) {
  TwoStations world(61, {}, SlotsFor(walk));
  EXPECT_EQ(world.pair().adapter(0).initialize(), NDIS_STATUS_SUCCESS);
  const std::size_t before = world.machine().ndisFailures().calls().size();
  const Outcome outcome = InitializeSecond(world);
  EXPECT_EQ(outcome, walk.clean) << Describe(outcome);
  const auto made = world.machine().ndisFailures().calls().subspan(before);
  const auto& keywords = world.pair().adapter(1).keywordReads();
  std::vector<Call> calls;
  std::array<std::uint64_t, sim::kNdisOperations> seen{};
  for (const NdisOperation operation : made) {
    const std::uint64_t ordinal = ++seen.at(static_cast<std::size_t>(operation));
    calls.push_back({operation, ordinal,
                     operation == NdisOperation::ReadConfiguration && ordinal <= keywords.size()
                         ? keywords[ordinal - 1].keyword
                         : ""});
  }
  return calls;
}

class FailingNdisCall : public ::testing::TestWithParam<Walk> {};

TEST_P(FailingNdisCall, FailsCleanlyOrCarriesOnAndTheNextInitializeCarriesTraffic) {
  const Walk& walk = GetParam();
  const std::vector<Call> calls = CountCalls(walk);
  std::vector<bool> reached(walk.points.size(), false);
  for (const Call& call : calls) {
    const std::string name = std::string(sim::nameOf(call.operation)) + " " +
                             std::to_string(call.ordinal) +
                             (call.keyword.empty() ? "" : " (" + call.keyword + ")");
    SCOPED_TRACE(name + " fails");
    const auto point = std::find_if(walk.points.begin(), walk.points.end(), [&](const auto& p) {
      return p.operation == call.operation && call.keyword == (p.keyword ? p.keyword : "");
    });
    if (point == walk.points.end()) {
      ADD_FAILURE() << "a call of the initialize that the table does not expect";
      continue;
    }
    reached[static_cast<std::size_t>(point - walk.points.begin())] = true;

    TwoStations world(62, {}, SlotsFor(walk));
    sim::world::Network& pair = world.pair();
    ASSERT_EQ(pair.adapter(0).initialize(), NDIS_STATUS_SUCCESS);
    world.machine().ndisFailures().failCall(call.operation, call.ordinal, kFailure);
    Outcome expected = walk.clean;
    point->expect(expected);
    const Outcome failed = InitializeSecond(world);
    EXPECT_EQ(failed, expected) << Describe(failed);
    EXPECT_EQ(sim::world::queryUlong(pair.adapter(0), OID_GEN_HARDWARE_STATUS), 0U);
    if (pair.adapter(1).initialized()) {
      pair.adapter(1).halt();
    }

    world.machine().ndisFailures().clear();
    const Outcome again = InitializeSecond(world);
    ASSERT_EQ(again.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(again.permanent, walk.clean.permanent);
    EXPECT_EQ(again.current, walk.clean.current);
    for (std::size_t side = 0; side < 2; ++side) {
      ASSERT_EQ(world.station(side).open(kUsualFilter, kGroup), NDIS_STATUS_SUCCESS);
    }
    ASSERT_TRUE(world.exchange(200));
    world.expectClean();
  }
  for (std::size_t i = 0; i < reached.size(); ++i) {
    EXPECT_TRUE(reached[i]) << sim::nameOf(walk.points[i].operation) << " "
                            << (walk.points[i].keyword ? walk.points[i].keyword : "")
                            << " is never called by the initialize";
  }
}

// A PC Card on its bus with every keyword away from its default, so that a
// failed read shows: its address from attribute memory, overridden, a short
// multicast list and a link held to 10 Mbit/s.
void PcCard(sim::world::SlotSetup& slot) {
  slot.adapter.keywords.insert_or_assign("CardType", std::string("1"));
  slot.adapter.keywords.insert_or_assign("BusType", std::string("8"));
  slot.adapter.keywords.insert_or_assign("MaximumMulticastList", std::uint32_t{4});
  slot.adapter.keywords.insert_or_assign("ConnectionType", std::uint32_t{2});
  slot.adapter.attributeMemory = sim::card::pcCardAttributeMemory(kAttributeAddress);
  slot.adapter.networkAddress = std::vector<std::uint8_t>(kOverride.begin(), kOverride.end());
}

// The Micro Channel adapter 0x67B0 whose POS byte puts it at 0x320 on
// interrupt 5, where its keywords put it too.
void MicroChannel(sim::world::SlotSetup& slot) {
  slot.adapter.keywords.insert_or_assign("BusType", std::string("3"));
  slot.adapter.mca = sim::McaSlot{.channel = 2, .pos = {.AdapterId = 0x67B0, .PosData1 = 0x4A}};
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, FailingNdisCall,
    ::testing::Values(
        Walk{"PcCard",
             PcCard,
             {.bus = NdisInterfacePcMcia,
              .permanent = kAttributeAddress,
              .current = kOverride,
              .multicastList = 4,
              .speed = k10Mbps},
             {
                 {NdisOperation::AllocateMemory, nullptr, Becomes(Refused(kFailure))},
                 {NdisOperation::OpenConfiguration, nullptr, Becomes(Refused(kFailure))},
                 {NdisOperation::ReadConfiguration, "CardType",
                  [](Outcome& o) { o.permanent = kSecondStation; }},
                 {NdisOperation::ReadNetworkAddress, nullptr,
                  [](Outcome& o) { o.current = kAttributeAddress; }},
                 {NdisOperation::ReadConfiguration, "BusType",
                  [](Outcome& o) { o.bus = NdisInterfaceIsa; }},
                 // The defaults, 0x300 and 3, are the first adapter's.
                 {NdisOperation::ReadConfiguration, "IoBaseAddress",
                  Becomes(Refused(NDIS_STATUS_FAILURE))},
                 {NdisOperation::ReadConfiguration, "InterruptNumber",
                  Becomes(Refused(NDIS_STATUS_FAILURE, kInterruptConnect))},
                 {NdisOperation::ReadConfiguration, "MaximumMulticastList",
                  [](Outcome& o) { o.multicastList = 32; }},
                 {NdisOperation::ReadConfiguration, "ConnectionType",
                  [](Outcome& o) { o.speed = k100Mbps; }},
                 {NdisOperation::RegisterIoPortRange, nullptr,
                  Becomes(Refused(NDIS_STATUS_FAILURE))},
                 {NdisOperation::ReadPcmciaAttributeMemory, nullptr,
                  Becomes(Refused(NDIS_STATUS_FAILURE, kAdapterNotFound))},
                 {NdisOperation::RegisterInterrupt, nullptr,
                  Becomes(Refused(NDIS_STATUS_FAILURE, kInterruptConnect))},
             }},
        Walk{"MicroChannel",
             MicroChannel,
             {.bus = NdisInterfaceMca,
              .permanent = kSecondStation,
              .current = kSecondStation,
              .multicastList = 32,
              .speed = k100Mbps},
             {
                 {NdisOperation::AllocateMemory, nullptr, Becomes(Refused(kFailure))},
                 {NdisOperation::OpenConfiguration, nullptr, Becomes(Refused(kFailure))},
                 {NdisOperation::ReadConfiguration, "CardType", kAsClean},
                 {NdisOperation::ReadNetworkAddress, nullptr, kAsClean},
                 {NdisOperation::ReadConfiguration, "BusType",
                  [](Outcome& o) { o.bus = NdisInterfaceIsa; }},
                 {NdisOperation::ReadMcaPosInformation, nullptr,
                  Becomes(Refused(NDIS_STATUS_FAILURE, kUnsupportedConfiguration,
                                  {kUnsupportedConfiguration}))},
                 {NdisOperation::ReadConfiguration, "MaximumMulticastList", kAsClean},
                 {NdisOperation::ReadConfiguration, "ConnectionType", kAsClean},
                 {NdisOperation::RegisterIoPortRange, nullptr,
                  Becomes(Refused(NDIS_STATUS_FAILURE))},
                 {NdisOperation::RegisterInterrupt, nullptr,
                  Becomes(Refused(NDIS_STATUS_FAILURE, kInterruptConnect))},
             }}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kl::test
