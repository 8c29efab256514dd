// The bus-cost model: each port cycle holds the processor for its width's
// time, a string transfer one cycle per element, while the world goes on.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "fake_miniport.h"
#include "sim/host/machine.h"

namespace kl::sim {
namespace {

using namespace std::chrono_literals;

constexpr PortAddress kBase = 0x240;
constexpr BusCycleTimes kCycles{.byteCycle = 255ns, .wordCycle = 600ns};

struct CycleCase {
  const char* name;
  std::function<void(IoBus&)> access;
  Duration ideal;  // what it costs on an ideal bus
  Duration costed;
};

class BusCycles : public ::testing::TestWithParam<CycleCase> {};

TEST_P(BusCycles, ChargeEachCycleOfTheAccess) {
  for (const bool costed : {false, true}) {
    Machine machine(MachineSetup{.busCycles = costed ? kCycles : BusCycleTimes{}});
    testing::LineDevice device;
    ASSERT_TRUE(machine.bus().attach(kBase, 4, device));
    const VirtualTime before = machine.now();
    GetParam().access(machine.bus());
    EXPECT_EQ(machine.now() - before, costed ? GetParam().costed : GetParam().ideal)
        << (costed ? "costed" : "ideal");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Host, BusCycles,
    ::testing::Values(
        CycleCase{"Read8", [](IoBus& bus) { (void)bus.read8(kBase); }, 0ns, 255ns},
        CycleCase{"Write8", [](IoBus& bus) { bus.write8(kBase, 1); }, 0ns, 255ns},
        CycleCase{"Read16", [](IoBus& bus) { (void)bus.read16(kBase); }, 0ns, 600ns},
        CycleCase{"Write16", [](IoBus& bus) { bus.write16(kBase, 1); }, 0ns, 600ns},
        CycleCase{"ReadString8",
                  [](IoBus& bus) {
                    std::array<std::uint8_t, 14> bytes{};
                    bus.readString8(kBase, bytes);
                  },
                  0ns, 14 * 255ns},
        CycleCase{"WriteString16",
                  [](IoBus& bus) {
                    const std::array<std::uint8_t, 14> bytes{};
                    bus.writeString16(kBase, bytes);
                  },
                  0ns, 7 * 600ns},
        CycleCase{"EmptyString", [](IoBus& bus) { bus.readString16(kBase, {}); }, 0ns, 0ns},
        // Nothing answers: the cycle runs all the same.
        CycleCase{"Unclaimed", [](IoBus& bus) { (void)bus.read8(kBase + 8); }, 0ns, 255ns}),
    [](const auto& param) { return std::string(param.param.name); });

// The world goes on during a long transfer: an event due in the middle of
// it has fired, at its own time, by the transfer's end.
TEST(BusCyclesWorld, EventsDueDuringATransferFireBeforeItReturns) {
  Machine machine(MachineSetup{.busCycles = kCycles});
  testing::LineDevice device;
  ASSERT_TRUE(machine.bus().attach(kBase, 4, device));
  VirtualTime fired{};
  machine.clock().scheduleIn(2us, [&] { fired = machine.now(); });
  const std::array<std::uint8_t, 14> bytes{};
  machine.bus().writeString16(kBase, bytes);  // 7 words: 4.2 us
  EXPECT_EQ(fired, 2us);
  EXPECT_EQ(machine.now(), 4200ns);
}

}  // namespace
}  // namespace kl::sim
