// The far side keeps sending through a halt and through the initialize that
// follows it: frames land on the card at every few port accesses the driver
// makes, as often as the wire lets them. The halt gives everything back, the new initialize comes
// up with the card programmed and quiet on register page 0 whenever it can interrupt, nothing is
// logged, and every frame the far side sends afterwards arrives intact, once and in order.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "end_to_end/far_end.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kDuringStream = 0x51;
constexpr std::uint8_t kAfterStream = 0x52;
// The far side sends a 200-byte frame every 100 µs, or every 100 port
// accesses, which cost no virtual time here but take about a microsecond each
// on the ISA bus: a busy wire the driver can keep up with.
constexpr sim::Duration kFrameSpacing = 100us;
constexpr std::uint64_t kAccessesPerFrame = 100;
constexpr std::size_t kAfterFrames = 50;
constexpr std::uint32_t kHaltFrames = 200;

TEST(HaltWhileReceiving, ThenANewInitializeWhileFramesStillArrive) {
  FarEnd far;
  far.bringUp();
  std::uint32_t landed = 0;
  sim::VirtualTime next = far.machine().now();
  std::uint64_t nextAccess = 0;
  const auto sendAlong = [&](std::uint64_t access, std::uint16_t, sim::Direction) {
    if (far.machine().now() >= next || access >= nextAccess) {
      next = far.machine().now() + kFrameSpacing;
      nextAccess = access + kAccessesPerFrame;
      far.card().frameArrived(goodFrame(
          sim::world::buildTestFrame(kNearStation, kFarStation, {kDuringStream, landed++}, 200)));
    }
  };
  // Frames on the wire when the halt begins go on arriving through it.
  for (std::uint32_t i = 0; i < kHaltFrames; ++i) {
    far.endpoint().send(
        sim::world::buildTestFrame(kNearStation, kFarStation, {kDuringStream, landed++}, 200));
  }
  far.adapter().halt();
  // A link change reported after the halt finds the card's output off.
  far.card().raisePhyEvent();
  EXPECT_FALSE(far.card().interruptAsserted()) << "a halted card drives its interrupt";
  far.interposer().setHook(sendAlong);
  ASSERT_EQ(far.adapter().initialize(), NDIS_STATUS_SUCCESS);
  far.interposer().clearHook();
  ASSERT_GT(landed, kHaltFrames + 100);
  ASSERT_TRUE(far.waitForMedia(NdisMediaStateConnected, 5s));

  EXPECT_TRUE(far.machine().errorLog().empty());
  const sim::card::Controller& controller = far.card().controller();
  EXPECT_EQ(controller.page(), 0);
  EXPECT_EQ(controller.imr(), 0x1B);
  EXPECT_EQ(controller.tcr(), 0x00);
  EXPECT_TRUE(far.card().vendor().interruptOutputEnabled());

  far.recorder().clear();
  std::vector<sim::net::WireFrame> frames;
  for (std::uint32_t i = 0; i < kAfterFrames; ++i) {
    frames.push_back(goodFrame(
        sim::world::buildTestFrame(kNearStation, kFarStation, {kAfterStream, i}, 60 + 29 * i)));
  }
  far.deliver(std::move(frames));
  std::vector<std::uint32_t> sequences;
  for (const sim::world::FrameIdentity& identity : far.recorder().received()) {
    EXPECT_EQ(identity.stream, kAfterStream);
    sequences.push_back(identity.sequence);
  }
  std::vector<std::uint32_t> expected(kAfterFrames);
  for (std::uint32_t i = 0; i < kAfterFrames; ++i) {
    expected[i] = i;
  }
  EXPECT_EQ(sequences, expected);
  EXPECT_EQ(far.recorder().spoiled(), 0U);
}

}  // namespace
}  // namespace kl::test
