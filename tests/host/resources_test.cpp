// What the host holds a miniport to about the resources it takes: everything
// given back at halt or by a failed initialize, nothing released twice.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fake_miniport.h"
#include "sim/host/machine.h"

namespace kl::sim {
namespace {

using testing::FakeHandlers;
using testing::FakeMiniport;

VOID NTAPI Idle(PVOID, PVOID, PVOID, PVOID) {}

// What the fake miniport takes, and how much of it it gives back.
struct Holdings {
  NDIS_HANDLE handle = nullptr;
  PVOID memory = nullptr;
  NDIS_MINIPORT_INTERRUPT interrupt{};
  NDIS_MINIPORT_TIMER timer{};

  void takePorts() {
    PVOID mapped = nullptr;
    EXPECT_EQ(NdisMRegisterIoPortRange(&mapped, handle, 0x300, 32), NDIS_STATUS_SUCCESS);
  }
  void givePorts() { NdisMDeregisterIoPortRange(handle, 0x300, 32, nullptr); }
  void takeMemory() {
    EXPECT_EQ(NdisAllocateMemory(&memory, 64, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)),
              NDIS_STATUS_SUCCESS);
  }
  void giveMemory() { NdisFreeMemory(memory, 64, 0); }
  void takeInterrupt() {
    EXPECT_EQ(NdisMRegisterInterrupt(&interrupt, handle, 3, 3, FALSE, FALSE, NdisInterruptLatched),
              NDIS_STATUS_SUCCESS);
  }
  void giveInterrupt() { NdisMDeregisterInterrupt(&interrupt); }
  void takeTimer() {
    NdisMInitializeTimer(&timer, handle, Idle, nullptr);
    NdisMSetPeriodicTimer(&timer, 5000);
  }
  void giveTimer() {
    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&timer, &cancelled);
  }
  void takeAll() {
    takeMemory();
    takePorts();
    takeInterrupt();
    takeTimer();
  }
};

struct ResourceCase {
  const char* name;
  bool failInitialize;
  std::function<void(Holdings&)> giveBack;  // at halt, or before the failure
  std::optional<std::string> broken;
};

class Resources : public ::testing::TestWithParam<ResourceCase> {};

TEST_P(Resources, EverythingTakenIsGivenBackOnce) {
  const ResourceCase& c = GetParam();
  Machine machine;
  std::vector<std::string> broken;
  machine.onViolation([&](const std::string& what) { broken.push_back(what); });
  Holdings held;
  FakeMiniport miniport(FakeHandlers{.initialize =
                                         [&](NDIS_HANDLE handle) {
                                           held.handle = handle;
                                           held.takeAll();
                                           if (!c.failInitialize) {
                                             return NDIS_STATUS_SUCCESS;
                                           }
                                           c.giveBack(held);
                                           return NDIS_STATUS_FAILURE;
                                         },
                                     .halt = [&] { c.giveBack(held); }});
  ASSERT_EQ(machine.loadDriver(&FakeMiniport::DriverEntry), STATUS_SUCCESS);
  MiniportAdapter& adapter = machine.addAdapter();
  const NDIS_STATUS status = adapter.initialize();
  if (!c.failInitialize) {
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    adapter.halt();
  }
  if (c.broken) {
    ASSERT_EQ(broken.size(), 1U) << (broken.empty() ? "" : broken[0]);
    EXPECT_NE(broken[0].find(*c.broken), std::string::npos) << broken[0];
  } else {
    EXPECT_TRUE(broken.empty()) << broken[0];
  }
  EXPECT_FALSE(adapter.interruptConnected());
}

void GiveAll(Holdings& held) {
  held.giveTimer();
  held.giveInterrupt();
  held.givePorts();
  held.giveMemory();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Resources,
    ::testing::Values(ResourceCase{"halt_gives_all_back", false, GiveAll, std::nullopt},
                      ResourceCase{"failed_initialize_gives_all_back", true, GiveAll, std::nullopt},
                      ResourceCase{"halt_keeps_memory", false,
                                   [](Holdings& held) {
                                     held.giveTimer();
                                     held.giveInterrupt();
                                     held.givePorts();
                                   },
                                   "MiniportHalt kept 1 memory block"},
                      ResourceCase{"failed_initialize_keeps_ports", true,
                                   [](Holdings& held) {
                                     held.giveTimer();
                                     held.giveInterrupt();
                                     held.giveMemory();
                                   },
                                   "a failed MiniportInitialize kept 1 I/O port range"},
                      ResourceCase{"halt_leaves_interrupt_connected", false,
                                   [](Holdings& held) {
                                     held.giveTimer();
                                     held.givePorts();
                                     held.giveMemory();
                                   },
                                   "MiniportHalt left its interrupt connected"},
                      ResourceCase{"halt_leaves_timer_set", false,
                                   [](Holdings& held) {
                                     held.giveInterrupt();
                                     held.givePorts();
                                     held.giveMemory();
                                   },
                                   "MiniportHalt left a timer set"},
                      ResourceCase{"halt_frees_memory_twice", false,
                                   [](Holdings& held) {
                                     GiveAll(held);
                                     held.giveMemory();
                                   },
                                   "freed twice"},
                      ResourceCase{"halt_releases_ports_twice", false,
                                   [](Holdings& held) {
                                     GiveAll(held);
                                     held.givePorts();
                                   },
                                   "did not register"},
                      ResourceCase{"halt_disconnects_twice", false,
                                   [](Holdings& held) {
                                     GiveAll(held);
                                     held.giveInterrupt();
                                   },
                                   "not registered"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(InterruptConnection, AVectorInUseOrARefusalFailsTheRegistration) {
  Machine machine;
  MiniportAdapter& first = machine.addAdapter();
  MiniportAdapter& second = machine.addAdapter();
  MiniportAdapter& refused = machine.addAdapter();
  NDIS_MINIPORT_INTERRUPT a{};
  NDIS_MINIPORT_INTERRUPT b{};
  NDIS_MINIPORT_INTERRUPT c{};
  EXPECT_EQ(first.registerInterrupt(a, {.vector = 5, .mode = NdisInterruptLatched}),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(second.registerInterrupt(b, {.vector = 5, .mode = NdisInterruptLatched}),
            NDIS_STATUS_RESOURCE_CONFLICT);
  EXPECT_EQ(second.registerInterrupt(b, {.vector = 6, .mode = NdisInterruptLatched}),
            NDIS_STATUS_SUCCESS);
  machine.ndisFailures().failCall(NdisOperation::RegisterInterrupt, 1, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(refused.registerInterrupt(c, {.vector = 7, .mode = NdisInterruptLatched}),
            NDIS_STATUS_RESOURCES);
  EXPECT_FALSE(refused.interruptConnected());
}

// The Nth call from the arming fails and no other; every call fails until
// the failures are cleared; nothing a failed call refused is held.
TEST(NdisFailures, TheNthCallOrEveryCallFails) {
  Machine machine;
  const auto allocate = [] {
    PVOID memory = nullptr;
    const NDIS_STATUS status =
        NdisAllocateMemory(&memory, 16, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1));
    if (status == NDIS_STATUS_SUCCESS) {
      NdisFreeMemory(memory, 16, 0);
    }
    return status;
  };
  NdisFailures& failures = machine.ndisFailures();
  failures.failCall(NdisOperation::AllocateMemory, 2, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(allocate(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(allocate(), NDIS_STATUS_RESOURCES);
  EXPECT_EQ(allocate(), NDIS_STATUS_SUCCESS);
  failures.failEveryCall(NdisOperation::AllocateMemory, NDIS_STATUS_FAILURE);
  EXPECT_EQ(allocate(), NDIS_STATUS_FAILURE);
  EXPECT_EQ(allocate(), NDIS_STATUS_FAILURE);
  failures.clear();
  EXPECT_EQ(allocate(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(machine.memoryBlocksHeld(), 0U);
  EXPECT_EQ(failures.calls().size(), 6U);
}

}  // namespace
}  // namespace kl::sim
