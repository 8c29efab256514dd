// The platform's rules on levels and handles: each row breaks one on purpose
// from one routine of a test miniport, and the host must name it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fake_miniport.h"
#include "sim/host/handler_names.h"
#include "sim/host/machine.h"
#include "sim/host/packet.h"

namespace kl::sim {
namespace {

constexpr PortAddress kBase = 0x240;
constexpr UINT kVector = 5;

void write(std::uint16_t offset) {
  WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(kBase + offset)), 0);
}

// The level NDIS runs the miniport's `routine` at.
Irql levelOf(std::string_view routine) {
  if (routine == kMiniportInitialize || routine == kMiniportHalt) {
    return Irql::Passive;
  }
  const bool device = routine == kMiniportIsr || routine == kMiniportDisableInterrupt ||
                      routine == kMiniportEnableInterrupt || routine == kMiniportSynchronizeIsr;
  return device ? Irql::Device : Irql::Dispatch;
}

// What a row's call may use: the adapter's handles and objects, and places
// for what the call writes back.
struct Scene {
  MiniportAdapter* adapter = nullptr;
  NDIS_HANDLE handle = nullptr;
  NDIS_HANDLE context = nullptr;  // the configuration context
  NDIS_MINIPORT_INTERRUPT interrupt{};
  NDIS_MINIPORT_INTERRUPT second{};
  NDIS_MINIPORT_TIMER timer{};
  NDIS_MINIPORT_TIMER spare{};
  std::unique_ptr<Packet> packet = Packet::fromBytes(std::vector<std::uint8_t>(60, 0x22));
  NDIS40_MINIPORT_CHARACTERISTICS characteristics{};
  NDIS_STATUS status = 0;
  NDIS_HANDLE opened = nullptr;
  PNDIS_CONFIGURATION_PARAMETER value = nullptr;
  NDIS_STRING keyword = NDIS_STRING_CONST("IoBaseAddress");
  PVOID address = nullptr;
  UINT number = 0;
  NDIS_MCA_POS_DATA pos{};
  UCHAR bytes[14] = {};  // a frame's header, or any memory
  BOOLEAN cancelled = FALSE;
};

BOOLEAN NTAPI Nothing(PVOID /*context*/) { return TRUE; }

enum class Broken : std::uint8_t { Level, InitializeOnly, Handle };

struct Row {
  Broken rule;
  PlatformCall call;
  std::string_view routine;  // the miniport's routine that makes the call
  void (*makeCall)(Scene&);
  // A handle row: what the host says after "<call> was given ".
  const char* given = "";
};

// A row breaking `rule` by calling `call` with `arguments`, over the scene
// `s`, from `routine`.
#define KL_ROW(rule, routine, call, arguments, ...)                          \
  Row {                                                                      \
    Broken::rule, PlatformCall::call, routine,                               \
        []([[maybe_unused]] Scene& s) { (void)call arguments; }, __VA_ARGS__ \
  }

const Row kRows[] = {
    KL_ROW(Level, kMiniportSend, NdisInitializeWrapper, (&s.opened, s.bytes, nullptr, nullptr)),
    KL_ROW(Level, kMiniportQueryInformation, NdisMRegisterMiniport,
           (s.opened, &s.characteristics, sizeof(s.characteristics))),
    KL_ROW(Level, kMiniportTimer, NdisMSetAttributesEx,
           (s.handle, s.adapter->context(), 0, 0, NdisInterfaceIsa)),
    KL_ROW(Level, kMiniportHandleInterrupt, NdisOpenConfiguration,
           (&s.status, &s.opened, s.context)),
    KL_ROW(Level, kMiniportReset, NdisCloseConfiguration, (nullptr)),
    KL_ROW(Level, kMiniportCheckForHang, NdisReadConfiguration,
           (&s.status, &s.value, nullptr, &s.keyword, NdisParameterInteger)),
    KL_ROW(Level, kMiniportSetInformation, NdisReadNetworkAddress,
           (&s.status, &s.address, &s.number, nullptr)),
    KL_ROW(Level, kMiniportIsr, NdisSystemProcessorCount, ()),
    KL_ROW(Level, kMiniportEnableInterrupt, NdisReadMcaPosInformation,
           (&s.status, s.context, &s.number, &s.pos)),
    KL_ROW(Level, kMiniportQueryInformation, NdisReadPcmciaAttributeMemory,
           (s.handle, 0, s.bytes, 1)),
    KL_ROW(Level, kMiniportIsr, NdisAllocateMemory,
           (&s.address, 16, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1))),
    KL_ROW(Level, kMiniportDisableInterrupt, NdisFreeMemory, (s.address, 16, 0)),
    KL_ROW(Level, kMiniportSend, NdisMRegisterIoPortRange, (&s.address, s.handle, 0x300, 1)),
    KL_ROW(Level, kMiniportHandleInterrupt, NdisMDeregisterIoPortRange,
           (s.handle, 0x300, 1, nullptr)),
    KL_ROW(Level, kMiniportReset, NdisMRegisterInterrupt,
           (&s.second, s.handle, 7, 7, TRUE, FALSE, NdisInterruptLatched)),
    KL_ROW(Level, kMiniportTimer, NdisMDeregisterInterrupt, (&s.interrupt)),
    KL_ROW(Level, kMiniportIsr, NdisMSynchronizeWithInterrupt,
           (&s.interrupt, reinterpret_cast<PVOID>(&Nothing), nullptr)),
    KL_ROW(Level, kMiniportHandleInterrupt, NdisMInitializeTimer,
           (&s.spare, s.handle, nullptr, nullptr)),
    KL_ROW(Level, kMiniportSynchronizeIsr, NdisMSetPeriodicTimer, (&s.timer, 2000)),
    KL_ROW(Level, kMiniportDisableInterrupt, NdisMCancelTimer, (&s.timer, &s.cancelled)),
    KL_ROW(Level, kMiniportEnableInterrupt, NdisQueryBuffer,
           (s.packet->ndis().Private.Head, nullptr, &s.number)),
    KL_ROW(Level, kMiniportDisableInterrupt, NdisMSendComplete,
           (s.handle, &s.packet->ndis(), NDIS_STATUS_SUCCESS)),
    KL_ROW(Level, kMiniportSynchronizeIsr, NdisWriteErrorLogEntry,
           (s.handle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 0)),
    KL_ROW(Level, kMiniportHalt, NdisMEthIndicateReceive,
           (s.handle, nullptr, s.bytes, 14, s.bytes, 0, 0)),
    KL_ROW(Level, kMiniportIsr, NdisMEthIndicateReceiveComplete, (s.handle)),
    KL_ROW(InitializeOnly, kMiniportHalt, NdisMSetAttributesEx,
           (s.handle, s.adapter->context(), 0, 0, NdisInterfaceIsa)),
    KL_ROW(InitializeOnly, kMiniportHalt, NdisMRegisterIoPortRange,
           (&s.address, s.handle, 0x300, 1)),
    KL_ROW(InitializeOnly, kMiniportHalt, NdisMRegisterInterrupt,
           (&s.second, s.handle, 7, 7, TRUE, FALSE, NdisInterruptLatched)),
    KL_ROW(Handle, kMiniportInitialize, NdisOpenConfiguration, (&s.status, &s.opened, s.handle),
           "the miniport adapter handle where the configuration context belongs; refused"),
    KL_ROW(Handle, kMiniportInitialize, NdisMRegisterIoPortRange, (&s.address, s.context, 0x300, 1),
           "the configuration context where the miniport adapter handle belongs; refused"),
    KL_ROW(Handle, kMiniportInitialize, NdisReadConfiguration,
           (&s.status, &s.value, s.context, &s.keyword, NdisParameterInteger),
           "the configuration context where a configuration handle belongs; refused"),
    KL_ROW(Handle, kMiniportHalt, NdisOpenConfiguration, (&s.status, &s.opened, s.context),
           "the configuration context after MiniportInitialize returned"),
    KL_ROW(Handle, kMiniportSend, NdisMSendComplete,
           (&s.pos, &s.packet->ndis(), NDIS_STATUS_SUCCESS),
           "a handle NDIS never gave where the miniport adapter handle belongs; refused"),
};
#undef KL_ROW

// What the host must say when `row` breaks its rule.
std::string named(const Row& row) {
  const std::string call(ruleOf(row.call).name);
  const std::string routine(row.routine);
  switch (row.rule) {
    case Broken::Level:
      return call + " called at " + std::string(nameOf(levelOf(routine))) + " from " + routine +
             "; the platform allows it at ";
    case Broken::InitializeOnly:
      return call + " called from " + routine + "; only MiniportInitialize may call it";
    case Broken::Handle:
      break;
  }
  return call + " was given " + row.given;
}

// Brings the adapter up, runs each of the miniport's routines once and
// halts it; the row's routine makes the row's call.
class PlatformRules : public ::testing::TestWithParam<Row> {
 protected:
  void entered() {
    if (machine.processor().handler() == GetParam().routine) {
      GetParam().makeCall(scene);
    }
  }
  static VOID NTAPI Ticked(PVOID, PVOID self, PVOID, PVOID) {
    static_cast<PlatformRules*>(self)->entered();
  }
  static BOOLEAN NTAPI Synchronized(PVOID self) {
    static_cast<PlatformRules*>(self)->entered();
    return TRUE;
  }

  // The line is lowered by the ISR, or by MiniportDisableInterrupt where that
  // is the row's routine.
  testing::FakeHandlers handlers() {
    const BOOLEAN isr = GetParam().routine != kMiniportDisableInterrupt ? TRUE : FALSE;
    return {.entered = [this] { entered(); },
            .initialize =
                [this, isr](NDIS_HANDLE handle) {
                  NdisMInitializeTimer(&scene.timer, handle, Ticked, this);
                  return NdisMRegisterInterrupt(&scene.interrupt, handle, kVector, kVector, isr,
                                                FALSE, NdisInterruptLatched);
                },
            .disableInterrupt = [] { write(testing::kLower); },
            .isr =
                [](BOOLEAN& recognized, BOOLEAN& queue) {
                  write(testing::kLower);
                  recognized = queue = TRUE;
                },
            .checkForHang = [] { return false; },
            .halt =
                [this] {
                  NdisMCancelTimer(&scene.timer, &scene.cancelled);
                  NdisMDeregisterInterrupt(&scene.interrupt);
                }};
  }

  void run() {
    machine.onViolation([this](const std::string& what) { broken.push_back(what); });
    ASSERT_TRUE(machine.bus().attach(kBase, 4, device));
    machine.wireInterrupt(kVector, device);
    testing::FakeMiniport miniport(handlers());
    ASSERT_EQ(machine.loadDriver(&testing::FakeMiniport::DriverEntry), STATUS_SUCCESS);
    MiniportAdapter& adapter = machine.addAdapter();
    scene.adapter = &adapter;
    scene.handle = adapter.handle();
    scene.context = adapter.configurationContext();
    ASSERT_EQ(adapter.initialize(), NDIS_STATUS_SUCCESS);
    std::uint8_t buffer[4] = {};
    ULONG done = 0;
    adapter.send(scene.packet->ndis());
    adapter.query(OID_GEN_LINK_SPEED, buffer, done, done);
    adapter.set(OID_GEN_CURRENT_LOOKAHEAD, buffer, done, done);
    adapter.reset();
    machine.atDispatch([this] {
      NdisMSynchronizeWithInterrupt(&scene.interrupt, reinterpret_cast<PVOID>(&Synchronized), this);
    });
    write(testing::kRaise);
    // One tick of the timer and one check for a hang.
    NdisMSetPeriodicTimer(&scene.timer, 2000);
    machine.runFor(std::chrono::seconds(3));
    adapter.halt();
  }

  Machine machine;
  testing::LineDevice device;
  Scene scene;
  std::vector<std::string> broken;
};

// The first rule broken is the row's: the routines' own calls break none.
TEST_P(PlatformRules, TheHostNamesTheRuleBroken) {
  run();
  ASSERT_FALSE(broken.empty()) << named(GetParam());
  EXPECT_TRUE(broken.front().starts_with(named(GetParam()))) << named(GetParam()) << "\n"
                                                             << ::testing::PrintToString(broken);
}

INSTANTIATE_TEST_SUITE_P(Rows, PlatformRules, ::testing::ValuesIn(kRows), [](const auto& row) {
  return std::string(ruleOf(row.param.call).name) + "From" + std::string(row.param.routine);
});

// Every call the platform restricts has a row for each of its rules.
TEST(PlatformRuleTable, EveryRestrictedCallHasARow) {
  for (const CallRule& rule : callRules()) {
    const auto has = [&](Broken broken) {
      return std::ranges::any_of(
          kRows, [&](const Row& row) { return row.call == rule.call && row.rule == broken; });
    };
    EXPECT_EQ(has(Broken::Level), rule.allowed != kAnyIrql) << rule.name;
    EXPECT_EQ(has(Broken::InitializeOnly), rule.initializeOnly) << rule.name;
  }
}

}  // namespace
}  // namespace kl::sim
