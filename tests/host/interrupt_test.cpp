// The host's interrupt path: where an interrupt lands in the code it preempts,
// and what it may not preempt.
#include <gtest/gtest.h>

#include <vector>

#include "fake_miniport.h"
#include "sim/host/machine.h"

namespace kl::sim {
namespace {

using testing::FakeHandlers;
using testing::FakeMiniport;
using testing::kLower;
using testing::kRaise;
using testing::kScratch;
using testing::LineDevice;

constexpr PortAddress kBase = 0x240;
constexpr UINT kVector = 5;

PUCHAR port(std::uint16_t offset) {
  return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(kBase + offset));
}

// Each handler writes a marker value to the scratch port, so the bus trace
// shows where it ran.
enum Marker : std::uint8_t {
  kDisableRan = 0xD1,
  kDpcRan = 0xD2,
  kEnableRan = 0xD3,
  kIsrRan = 0xD4,
  kFirst = 0x01,
  kSecond = 0x02,
  kThird = 0x03,
};

class InterruptPath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine.bus().attach(kBase, 4, device));
    machine.wireInterrupt(kVector, device);
  }

  // Loads the fake miniport and brings one adapter up with its interrupt
  // registered as the driver does (RequestIsr as given).
  void bringUp(FakeHandlers handlers, bool requestIsr) {
    handlers.initialize = [this, requestIsr](NDIS_HANDLE handle) {
      return NdisMRegisterInterrupt(&interrupt, handle, kVector, kVector, requestIsr ? TRUE : FALSE,
                                    FALSE, NdisInterruptLatched);
    };
    miniport.emplace(std::move(handlers));
    ASSERT_EQ(machine.loadDriver(&FakeMiniport::DriverEntry), STATUS_SUCCESS);
    adapter = &machine.addAdapter();
    ASSERT_EQ(adapter->initialize(), NDIS_STATUS_SUCCESS);
    machine.bus().startTrace();
  }

  // The scratch-port markers and line writes in the order they happened.
  std::vector<std::uint16_t> events() {
    std::vector<std::uint16_t> seen;
    for (const PortAccess& access : machine.bus().trace()) {
      if (access.direction == Direction::Write) {
        seen.push_back(access.offset == kScratch
                           ? access.value
                           : static_cast<std::uint16_t>(0x100 + access.offset));
      }
    }
    return seen;
  }

  static constexpr std::uint16_t kRaised = 0x100 + kRaise;
  static constexpr std::uint16_t kLowered = 0x100 + kLower;

  Machine machine;
  LineDevice device;
  NDIS_MINIPORT_INTERRUPT interrupt{};
  std::optional<FakeMiniport> miniport;
  MiniportAdapter* adapter = nullptr;
};

// Raises the line and goes on with two more accesses and a stall in between.
BOOLEAN NTAPI RaiseAndContinue(PVOID /*context*/) {
  WRITE_PORT_UCHAR(port(kRaise), 0);
  WRITE_PORT_UCHAR(port(kScratch), kFirst);
  KeStallExecutionProcessor(10);
  WRITE_PORT_UCHAR(port(kScratch), kSecond);
  return TRUE;
}

FakeHandlers maskingHandlers() {
  return FakeHandlers{
      .disableInterrupt =
          [] {
            WRITE_PORT_UCHAR(port(kLower), 0);
            WRITE_PORT_UCHAR(port(kScratch), kDisableRan);
          },
      .enableInterrupt = [] { WRITE_PORT_UCHAR(port(kScratch), kEnableRan); },
      .handleInterrupt = [] { WRITE_PORT_UCHAR(port(kScratch), kDpcRan); },
  };
}

TEST_F(InterruptPath, PreemptsDispatchCodeBetweenTwoPortAccesses) {
  bringUp(maskingHandlers(), false);

  machine.atDispatch([] {
    WRITE_PORT_UCHAR(port(kScratch), kFirst);
    WRITE_PORT_UCHAR(port(kRaise), 0);
    WRITE_PORT_UCHAR(port(kScratch), kSecond);
  });

  // The disable handler runs right after the access that raised the line; the
  // DPC and the enable handler wait until the serialised code has returned.
  EXPECT_EQ(events(), (std::vector<std::uint16_t>{kFirst, kRaised, kLowered, kDisableRan, kSecond,
                                                  kDpcRan, kEnableRan}));
}

TEST_F(InterruptPath, NeverPreemptsASynchronisedRoutine) {
  bringUp(maskingHandlers(), false);

  machine.atDispatch([this] {
    NdisMSynchronizeWithInterrupt(&interrupt, reinterpret_cast<PVOID>(&RaiseAndContinue), nullptr);
    WRITE_PORT_UCHAR(port(kScratch), kThird);
  });

  // The line is asserted throughout the routine, even across its stall; the
  // interrupt is taken only once the routine has returned.
  EXPECT_EQ(events(), (std::vector<std::uint16_t>{kRaised, kFirst, kSecond, kLowered, kDisableRan,
                                                  kThird, kDpcRan, kEnableRan}));
}

TEST_F(InterruptPath, LandsDuringAStallOnTheClockStepThatRaisesIt) {
  bringUp(maskingHandlers(), false);
  machine.clock().scheduleIn(3us, [this] { device.write8(kRaise, 0); });

  VirtualTime stalledAt{};
  VirtualTime disabledAt{};
  machine.atDispatch([&] {
    KeStallExecutionProcessor(10);
    stalledAt = machine.now();
    WRITE_PORT_UCHAR(port(kScratch), kFirst);
  });
  for (const PortAccess& access : machine.bus().trace()) {
    if (access.offset == kScratch && access.value == kDisableRan) {
      disabledAt = access.time;
    }
  }

  EXPECT_EQ(disabledAt, VirtualTime(3us));
  EXPECT_EQ(stalledAt, VirtualTime(10us));
  EXPECT_EQ(events(),
            (std::vector<std::uint16_t>{kLowered, kDisableRan, kFirst, kDpcRan, kEnableRan}));
}

TEST_F(InterruptPath, WithRequestIsrTheDpcRunsOnlyWhenTheIsrAsksForIt) {
  struct Case {
    BOOLEAN recognized;
    BOOLEAN queue;
    bool dpcRuns;
  };
  for (const Case c : {Case{TRUE, TRUE, true}, Case{FALSE, FALSE, false}}) {
    SCOPED_TRACE(c.dpcRuns ? "claimed" : "not claimed");
    Machine local;
    LineDevice line;
    ASSERT_TRUE(local.bus().attach(kBase, 4, line));
    local.wireInterrupt(kVector, line);
    NDIS_MINIPORT_INTERRUPT object{};
    FakeHandlers handlers = maskingHandlers();
    handlers.isr = [c](BOOLEAN& recognized, BOOLEAN& queue) {
      WRITE_PORT_UCHAR(port(kLower), 0);
      WRITE_PORT_UCHAR(port(kScratch), kIsrRan);
      recognized = c.recognized;
      queue = c.queue;
    };
    handlers.initialize = [&object](NDIS_HANDLE handle) {
      return NdisMRegisterInterrupt(&object, handle, kVector, kVector, TRUE, FALSE,
                                    NdisInterruptLatched);
    };
    FakeMiniport fake(std::move(handlers));
    ASSERT_EQ(local.loadDriver(&FakeMiniport::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(local.addAdapter().initialize(), NDIS_STATUS_SUCCESS);
    local.bus().startTrace();

    local.atDispatch([] { WRITE_PORT_UCHAR(port(kRaise), 0); });

    bool dpcRan = false;
    bool disableRan = false;
    for (const PortAccess& access : local.bus().trace()) {
      dpcRan |= access.offset == kScratch && access.value == kDpcRan;
      disableRan |= access.offset == kScratch && access.value == kDisableRan;
    }
    EXPECT_EQ(dpcRan, c.dpcRuns);
    EXPECT_FALSE(disableRan);
  }
}

TEST_F(InterruptPath, ALineLeftAssertedByTheInterruptRoutineIsReported) {
  FakeHandlers handlers;
  handlers.disableInterrupt = [] {};  // forgets to mask the device
  bringUp(std::move(handlers), false);
  std::vector<std::string> broken;
  machine.onViolation([&](const std::string& what) { broken.push_back(what); });

  machine.atDispatch([] { WRITE_PORT_UCHAR(port(kRaise), 0); });

  ASSERT_FALSE(broken.empty());
  EXPECT_NE(broken.front().find("still asserted"), std::string::npos);
}

TEST_F(InterruptPath, NothingIsDeliveredOnceTheInterruptIsDeregistered) {
  bringUp(maskingHandlers(), false);
  NdisMDeregisterInterrupt(&interrupt);

  machine.atDispatch([] { WRITE_PORT_UCHAR(port(kRaise), 0); });
  machine.runFor(1ms);

  EXPECT_EQ(events(), (std::vector<std::uint16_t>{kRaised}));
  EXPECT_FALSE(adapter->interruptConnected());
}

TEST_F(InterruptPath, ADpcQueuedBeforeDeregistrationNeverRuns) {
  FakeHandlers handlers = maskingHandlers();
  handlers.halt = [this] {
    WRITE_PORT_UCHAR(port(kRaise), 0);
    NdisMDeregisterInterrupt(&interrupt);
  };
  bringUp(std::move(handlers), false);

  adapter->halt();

  EXPECT_EQ(events(), (std::vector<std::uint16_t>{kRaised, kLowered, kDisableRan}));
}

}  // namespace
}  // namespace kl::sim
