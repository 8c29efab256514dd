// The card interrupts at every single port access of a send, of a packet
// filter set and of a reset: a frame arrives from the wire, or the PHY
// reports an event. Whatever access it lands on, the interrupt is served,
// the card is left programmed as it was (station address, hash filter,
// receive and data configuration, mask, ring, page 0 at rest), the frame
// is indicated once and intact, the packet goes out once, and the link
// stays up.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "end_to_end/far_end.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::world::FrameIdentity;
using sim::world::Mac;

constexpr Mac kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
constexpr ULONG kFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;
constexpr std::uint8_t kIncomingStream = 0x41;
constexpr std::uint8_t kOutgoingStream = 0x42;
constexpr std::size_t kFrameLength = 300;

enum class Operation : std::uint8_t { Send, SetFilter, Reset };
enum class Event : std::uint8_t { Frame, PhyEvent };

struct AccessRow {
  std::string name;
  Operation operation;
  Event event;
};

// What the driver programmed into the controller and must not lose.
struct Programmed {
  std::array<std::uint8_t, 6> par;
  std::array<std::uint8_t, 8> mar;
  std::uint8_t rcr, tcr, dcr, imr, pstart, pstop, page;
  bool started, outputEnabled;

  explicit Programmed(const sim::card::Card& card)
      : par(card.controller().stationAddress()),
        mar(card.controller().multicastFilter()),
        rcr(card.controller().rcr()),
        tcr(card.controller().tcr()),
        dcr(card.controller().dcr()),
        imr(card.controller().imr()),
        pstart(card.controller().pstart()),
        pstop(card.controller().pstop()),
        page(card.controller().page()),
        started(!card.controller().stopped()),
        outputEnabled(card.vendor().interruptOutputEnabled()) {}
  friend bool operator==(const Programmed&, const Programmed&) = default;
};

void PrintTo(const AccessRow& row, std::ostream* out) { *out << row.name; }

class InterruptAtEveryAccess : public ::testing::TestWithParam<AccessRow> {};

TEST_P(InterruptAtEveryAccess, IsServedAndLeavesTheCardAsProgrammed) {
  const AccessRow& row = GetParam();
  FarEnd far;
  far.bringUp();
  const std::array<Mac, 1> groups = {kGroup};
  ASSERT_EQ(far.setMulticastList(groups), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(far.setPacketFilter(kFilter), NDIS_STATUS_SUCCESS);
  const Programmed programmed(far.card());

  std::uint32_t sent = 0;
  const auto operate = [&] {
    switch (row.operation) {
      case Operation::Send:
        far.recorder().send(far.adapter(),
                            sim::world::buildTestFrame(kFarStation, kNearStation,
                                                       {kOutgoingStream, sent++}, kFrameLength));
        break;
      case Operation::SetFilter:
        ASSERT_EQ(far.setPacketFilter(kFilter), NDIS_STATUS_SUCCESS);
        break;
      case Operation::Reset:
        ASSERT_EQ(far.adapter().reset(), NDIS_STATUS_SUCCESS);
        break;
    }
    far.run(2ms);
  };
  // A first run with nothing injected counts the operation's accesses.
  far.interposer().clearHook();
  operate();
  const std::uint64_t accesses = far.interposer().accesses();
  ASSERT_GT(accesses, 10U);

  std::uint32_t injected = 0;
  for (std::uint64_t at = 0; at < accesses; ++at) {
    SCOPED_TRACE(::testing::Message() << "interrupt at access " << at);
    const std::size_t indicated = far.recorder().received().size();
    const std::size_t wentOut = far.farEndReceived().size();
    bool stored = false;
    far.interposer().setHook([&](std::uint64_t access, std::uint16_t, sim::Direction) {
      if (access != at) {
        return;
      }
      if (row.event == Event::PhyEvent) {
        far.card().raisePhyEvent();
        return;
      }
      const std::uint8_t curr = far.card().controller().curr();
      far.card().frameArrived(goodFrame(sim::world::buildTestFrame(
          kNearStation, kFarStation, {kIncomingStream, injected}, kFrameLength)));
      stored = far.card().controller().curr() != curr;
    });
    operate();
    far.interposer().clearHook();

    EXPECT_TRUE(Programmed(far.card()) == programmed) << "the card's programming changed";
    EXPECT_EQ(far.query(OID_GEN_MEDIA_CONNECT_STATUS), NdisMediaStateConnected);
    const std::vector<FrameIdentity>& received = far.recorder().received();
    if (row.event == Event::Frame) {
      // A frame the controller stored before a reset emptied its ring is
      // gone with the ring; any other is indicated once.
      const std::size_t expected = stored && row.operation != Operation::Reset ? 1 : 0;
      ASSERT_GE(received.size(), indicated + expected);
      ASSERT_LE(received.size(), indicated + (stored ? 1 : 0));
      if (received.size() > indicated) {
        EXPECT_EQ(received.back().stream, kIncomingStream);
        EXPECT_EQ(received.back().sequence, injected);
      }
      ++injected;
    }
    if (row.operation == Operation::Send) {
      EXPECT_EQ(far.farEndReceived().size(), wentOut + 1) << "the packet did not go out once";
    }
    EXPECT_EQ(far.recorder().spoiled(), 0U);
    EXPECT_EQ(far.recorder().packetsHeld(), 0U);
    if (::testing::Test::HasFailure()) {
      break;
    }
  }
  EXPECT_EQ(far.recorder().sendsFailed(), 0U);
  EXPECT_TRUE(far.machine().errorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Operations, InterruptAtEveryAccess,
    ::testing::Values(AccessRow{"SendFrame", Operation::Send, Event::Frame},
                      AccessRow{"SendPhyEvent", Operation::Send, Event::PhyEvent},
                      AccessRow{"SetFilterFrame", Operation::SetFilter, Event::Frame},
                      AccessRow{"SetFilterPhyEvent", Operation::SetFilter, Event::PhyEvent},
                      AccessRow{"ResetFrame", Operation::Reset, Event::Frame},
                      AccessRow{"ResetPhyEvent", Operation::Reset, Event::PhyEvent}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
