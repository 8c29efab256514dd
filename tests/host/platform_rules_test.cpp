// The platform's rules on levels and handles: each row breaks one on purpose
// from one routine of a test miniport, and the host must name it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_miniport.h"
#include "sim/host/machine.h"
#include "sim/host/packet.h"

namespace kl::sim {
namespace {

using testing::FakeHandlers;
using testing::FakeMiniport;
using testing::kLower;
using testing::kRaise;
using testing::LineDevice;

constexpr PortAddress kBase = 0x240;
constexpr UINT kVector = 5;

PUCHAR port(std::uint16_t offset) {
  return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(kBase + offset));
}

// The miniport's routine a row's call is made from.
enum class Place : std::uint8_t {
  Initialize,
  Halt,
  Send,
  Query,
  Set,
  Reset,
  CheckForHang,
  Dpc,
  Timer,
  Isr,
  Disable,
  Enable,
  Synchronized,
};

// What a row's call may use: the adapter's handles and objects.
struct Scene {
  Machine* machine = nullptr;
  MiniportAdapter* adapter = nullptr;
  NDIS_MINIPORT_INTERRUPT interrupt{};
  NDIS_MINIPORT_TIMER timer{};
  NDIS_MINIPORT_TIMER spareTimer{};
  PVOID block = nullptr;
  std::unique_ptr<Packet> packet = Packet::fromBytes(std::vector<std::uint8_t>(60, 0x22));
};

struct Rule {
  const char* name;
  PlatformCall call;
  Place place;
  void (*breakIt)(Scene&);
  const char* named;  // what the host's message must say
};

VOID NTAPI Nothing(PVOID /*context*/) {}

const Rule kRules[] = {
    // Levels.
    {"InitializeWrapperAtDispatch", PlatformCall::NdisInitializeWrapper, Place::Send,
     [](Scene&) {
       DRIVER_OBJECT driver{};
       NDIS_HANDLE wrapper = nullptr;
       NdisInitializeWrapper(&wrapper, &driver, nullptr, nullptr);
     },
     "NdisInitializeWrapper called at DISPATCH_LEVEL from MiniportSend"},
    {"RegisterMiniportAtDispatch", PlatformCall::NdisMRegisterMiniport, Place::Query,
     [](Scene& s) {
       NDIS40_MINIPORT_CHARACTERISTICS none{};
       NdisMRegisterMiniport(s.machine, &none, sizeof(none));
     },
     "NdisMRegisterMiniport called at DISPATCH_LEVEL from MiniportQueryInformation"},
    {"SetAttributesAtDispatch", PlatformCall::NdisMSetAttributesEx, Place::Timer,
     [](Scene& s) {
       NdisMSetAttributesEx(s.adapter->handle(), s.adapter->context(), 0, 0, NdisInterfaceIsa);
     },
     "NdisMSetAttributesEx called at DISPATCH_LEVEL from MiniportTimer"},
    {"OpenConfigurationAtDispatch", PlatformCall::NdisOpenConfiguration, Place::Dpc,
     [](Scene& s) {
       NDIS_STATUS status = 0;
       NDIS_HANDLE opened = nullptr;
       NdisOpenConfiguration(&status, &opened, s.adapter->configurationContext());
     },
     "NdisOpenConfiguration called at DISPATCH_LEVEL from MiniportHandleInterrupt"},
    {"CloseConfigurationAtDispatch", PlatformCall::NdisCloseConfiguration, Place::Reset,
     [](Scene&) { NdisCloseConfiguration(nullptr); },
     "NdisCloseConfiguration called at DISPATCH_LEVEL from MiniportReset"},
    {"ReadConfigurationAtDispatch", PlatformCall::NdisReadConfiguration, Place::CheckForHang,
     [](Scene&) {
       NDIS_STATUS status = 0;
       PNDIS_CONFIGURATION_PARAMETER value = nullptr;
       NDIS_STRING keyword = NDIS_STRING_CONST("IoBaseAddress");
       NdisReadConfiguration(&status, &value, nullptr, &keyword, NdisParameterHexInteger);
     },
     "NdisReadConfiguration called at DISPATCH_LEVEL from MiniportCheckForHang"},
    {"ReadNetworkAddressAtDispatch", PlatformCall::NdisReadNetworkAddress, Place::Set,
     [](Scene&) {
       NDIS_STATUS status = 0;
       PVOID address = nullptr;
       UINT length = 0;
       NdisReadNetworkAddress(&status, &address, &length, nullptr);
     },
     "NdisReadNetworkAddress called at DISPATCH_LEVEL from MiniportSetInformation"},
    {"ProcessorCountAtDeviceLevel", PlatformCall::NdisSystemProcessorCount, Place::Isr,
     [](Scene&) { (void)NdisSystemProcessorCount(); },
     "NdisSystemProcessorCount called at DIRQL from MiniportISR"},
    {"McaPosInformationAtDeviceLevel", PlatformCall::NdisReadMcaPosInformation, Place::Enable,
     [](Scene& s) {
       NDIS_STATUS status = 0;
       UINT channel = 0;
       NDIS_MCA_POS_DATA pos{};
       NdisReadMcaPosInformation(&status, s.adapter->configurationContext(), &channel, &pos);
     },
     "NdisReadMcaPosInformation called at DIRQL from MiniportEnableInterrupt"},
    {"AttributeMemoryAtDispatch", PlatformCall::NdisReadPcmciaAttributeMemory, Place::Query,
     [](Scene& s) {
       UCHAR byte = 0;
       (void)NdisReadPcmciaAttributeMemory(s.adapter->handle(), 0, &byte, 1);
     },
     "NdisReadPcmciaAttributeMemory called at DISPATCH_LEVEL from MiniportQueryInformation"},
    {"AllocateMemoryInTheIsr", PlatformCall::NdisAllocateMemory, Place::Isr,
     [](Scene&) {
       PVOID block = nullptr;
       (void)NdisAllocateMemory(&block, 16, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1));
     },
     "NdisAllocateMemory called at DIRQL from MiniportISR"},
    {"FreeMemoryAtDeviceLevel", PlatformCall::NdisFreeMemory, Place::Disable,
     [](Scene& s) { NdisFreeMemory(s.block, 16, 0); },
     "NdisFreeMemory called at DIRQL from MiniportDisableInterrupt"},
    {"RegisterPortsAtDispatch", PlatformCall::NdisMRegisterIoPortRange, Place::Send,
     [](Scene& s) {
       PVOID mapped = nullptr;
       (void)NdisMRegisterIoPortRange(&mapped, s.adapter->handle(), 0x300, 1);
     },
     "NdisMRegisterIoPortRange called at DISPATCH_LEVEL from MiniportSend"},
    {"DeregisterPortsAtDispatch", PlatformCall::NdisMDeregisterIoPortRange, Place::Dpc,
     [](Scene& s) { NdisMDeregisterIoPortRange(s.adapter->handle(), 0x300, 1, nullptr); },
     "NdisMDeregisterIoPortRange called at DISPATCH_LEVEL from MiniportHandleInterrupt"},
    {"RegisterInterruptAtDispatch", PlatformCall::NdisMRegisterInterrupt, Place::Reset,
     [](Scene& s) {
       NDIS_MINIPORT_INTERRUPT second{};
       (void)NdisMRegisterInterrupt(&second, s.adapter->handle(), 7, 7, TRUE, FALSE,
                                    NdisInterruptLatched);
     },
     "NdisMRegisterInterrupt called at DISPATCH_LEVEL from MiniportReset"},
    {"DeregisterInterruptAtDispatch", PlatformCall::NdisMDeregisterInterrupt, Place::Timer,
     [](Scene& s) { NdisMDeregisterInterrupt(&s.interrupt); },
     "NdisMDeregisterInterrupt called at DISPATCH_LEVEL from MiniportTimer"},
    {"SynchronizeAtDeviceLevel", PlatformCall::NdisMSynchronizeWithInterrupt, Place::Isr,
     [](Scene& s) {
       (void)NdisMSynchronizeWithInterrupt(&s.interrupt, reinterpret_cast<PVOID>(&Nothing),
                                           nullptr);
     },
     "NdisMSynchronizeWithInterrupt called at DIRQL from MiniportISR"},
    {"InitializeTimerAtDispatch", PlatformCall::NdisMInitializeTimer, Place::Dpc,
     [](Scene& s) { NdisMInitializeTimer(&s.spareTimer, s.adapter->handle(), nullptr, nullptr); },
     "NdisMInitializeTimer called at DISPATCH_LEVEL from MiniportHandleInterrupt"},
    {"SetTimerAtDeviceLevel", PlatformCall::NdisMSetPeriodicTimer, Place::Synchronized,
     [](Scene& s) { NdisMSetPeriodicTimer(&s.timer, 1000); },
     "NdisMSetPeriodicTimer called at DIRQL from MiniportSynchronizeISR"},
    {"CancelTimerAtDeviceLevel", PlatformCall::NdisMCancelTimer, Place::Disable,
     [](Scene& s) {
       BOOLEAN cancelled = FALSE;
       NdisMCancelTimer(&s.timer, &cancelled);
     },
     "NdisMCancelTimer called at DIRQL from MiniportDisableInterrupt"},
    {"QueryBufferAtDeviceLevel", PlatformCall::NdisQueryBuffer, Place::Enable,
     [](Scene& s) {
       UINT length = 0;
       NdisQueryBuffer(s.packet->ndis().Private.Head, nullptr, &length);
     },
     "NdisQueryBuffer called at DIRQL from MiniportEnableInterrupt"},
    {"SendCompleteAtDeviceLevel", PlatformCall::NdisMSendComplete, Place::Disable,
     [](Scene& s) {
       NdisMSendComplete(s.adapter->handle(), &s.packet->ndis(), NDIS_STATUS_SUCCESS);
     },
     "NdisMSendComplete called at DIRQL from MiniportDisableInterrupt"},
    {"ErrorLogAtDeviceLevel", PlatformCall::NdisWriteErrorLogEntry, Place::Synchronized,
     [](Scene& s) {
       NdisWriteErrorLogEntry(s.adapter->handle(), NDIS_ERROR_CODE_HARDWARE_FAILURE, 0);
     },
     "NdisWriteErrorLogEntry called at DIRQL from MiniportSynchronizeISR"},
    {"IndicateAtPassive", PlatformCall::NdisMEthIndicateReceive, Place::Halt,
     [](Scene& s) {
       std::uint8_t frame[14] = {};
       NdisMEthIndicateReceive(s.adapter->handle(), nullptr, frame, 14, frame, 0, 0);
     },
     "NdisMEthIndicateReceive called at PASSIVE_LEVEL from MiniportHalt"},
    {"IndicateCompleteAtDeviceLevel", PlatformCall::NdisMEthIndicateReceiveComplete, Place::Isr,
     [](Scene& s) { NdisMEthIndicateReceiveComplete(s.adapter->handle()); },
     "NdisMEthIndicateReceiveComplete called at DIRQL from MiniportISR"},
    // Calls only MiniportInitialize may make.
    {"SetAttributesInHalt", PlatformCall::NdisMSetAttributesEx, Place::Halt,
     [](Scene& s) {
       NdisMSetAttributesEx(s.adapter->handle(), s.adapter->context(), 0, 0, NdisInterfaceIsa);
     },
     "NdisMSetAttributesEx called from MiniportHalt; only MiniportInitialize may call it"},
    {"RegisterPortsInHalt", PlatformCall::NdisMRegisterIoPortRange, Place::Halt,
     [](Scene& s) {
       PVOID mapped = nullptr;
       (void)NdisMRegisterIoPortRange(&mapped, s.adapter->handle(), 0x300, 1);
     },
     "NdisMRegisterIoPortRange called from MiniportHalt; only MiniportInitialize may call it"},
    {"RegisterInterruptInHalt", PlatformCall::NdisMRegisterInterrupt, Place::Halt,
     [](Scene& s) {
       NDIS_MINIPORT_INTERRUPT second{};
       (void)NdisMRegisterInterrupt(&second, s.adapter->handle(), 7, 7, TRUE, FALSE,
                                    NdisInterruptLatched);
     },
     "NdisMRegisterInterrupt called from MiniportHalt; only MiniportInitialize may call it"},
    // Handles.
    {"AdapterHandleAsConfigurationContext", PlatformCall::NdisOpenConfiguration, Place::Initialize,
     [](Scene& s) {
       NDIS_STATUS status = 0;
       NDIS_HANDLE opened = nullptr;
       NdisOpenConfiguration(&status, &opened, s.adapter->handle());
     },
     "NdisOpenConfiguration was given the miniport adapter handle where the configuration "
     "context belongs; refused"},
    {"ConfigurationContextAsAdapterHandle", PlatformCall::NdisMRegisterIoPortRange,
     Place::Initialize,
     [](Scene& s) {
       PVOID mapped = nullptr;
       (void)NdisMRegisterIoPortRange(&mapped, s.adapter->configurationContext(), 0x300, 1);
     },
     "NdisMRegisterIoPortRange was given the configuration context where the miniport adapter "
     "handle belongs; refused"},
    {"ConfigurationContextAsConfigurationHandle", PlatformCall::NdisReadConfiguration,
     Place::Initialize,
     [](Scene& s) {
       NDIS_STATUS status = 0;
       PNDIS_CONFIGURATION_PARAMETER value = nullptr;
       NDIS_STRING keyword = NDIS_STRING_CONST("IoBaseAddress");
       NdisReadConfiguration(&status, &value, s.adapter->configurationContext(), &keyword,
                             NdisParameterHexInteger);
     },
     "NdisReadConfiguration was given the configuration context where a configuration handle "
     "belongs; refused"},
    {"ConfigurationContextAfterInitialize", PlatformCall::NdisOpenConfiguration, Place::Halt,
     [](Scene& s) {
       NDIS_STATUS status = 0;
       NDIS_HANDLE opened = nullptr;
       NdisOpenConfiguration(&status, &opened, s.adapter->configurationContext());
     },
     "NdisOpenConfiguration was given the configuration context after MiniportInitialize "
     "returned"},
    {"HandleNdisNeverGave", PlatformCall::NdisMSendComplete, Place::Send,
     [](Scene& s) {
       int stranger = 0;
       NdisMSendComplete(&stranger, &s.packet->ndis(), NDIS_STATUS_SUCCESS);
     },
     "NdisMSendComplete was given a handle NDIS never gave where the miniport adapter handle "
     "belongs; refused"},
};

class PlatformRules : public ::testing::TestWithParam<Rule> {
 protected:
  void SetUp() override {
    machine.onViolation([this](const std::string& what) { broken.push_back(what); });
    ASSERT_TRUE(machine.bus().attach(kBase, 4, device));
    machine.wireInterrupt(kVector, device);
    scene.machine = &machine;
    ASSERT_EQ(NdisAllocateMemory(&scene.block, 16, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)),
              NDIS_STATUS_SUCCESS);
  }

  // The routine of the row makes its call; the others make none.
  void at(Place place) {
    if (place == GetParam().place) {
      GetParam().breakIt(scene);
    }
  }

  static VOID NTAPI TimerFunction(PVOID, PVOID context, PVOID, PVOID) {
    static_cast<PlatformRules*>(context)->at(Place::Timer);
  }
  static BOOLEAN NTAPI Synchronized(PVOID context) {
    static_cast<PlatformRules*>(context)->at(Place::Synchronized);
    return TRUE;
  }

  // The device is masked by the ISR, or by MiniportDisableInterrupt where
  // that is the row's routine.
  FakeHandlers handlers() {
    const bool requestIsr = GetParam().place != Place::Disable;
    FakeHandlers h{
        .initialize =
            [this, requestIsr](NDIS_HANDLE handle) {
              EXPECT_EQ(
                  NdisMRegisterInterrupt(&scene.interrupt, handle, kVector, kVector,
                                         requestIsr ? TRUE : FALSE, FALSE, NdisInterruptLatched),
                  NDIS_STATUS_SUCCESS);
              NdisMInitializeTimer(&scene.timer, handle, TimerFunction, this);
              at(Place::Initialize);
              return NDIS_STATUS_SUCCESS;
            },
        .disableInterrupt =
            [this] {
              WRITE_PORT_UCHAR(port(kLower), 0);
              at(Place::Disable);
            },
        .enableInterrupt = [this] { at(Place::Enable); },
        .handleInterrupt = [this] { at(Place::Dpc); },
        .isr =
            [this](BOOLEAN& recognized, BOOLEAN& queue) {
              WRITE_PORT_UCHAR(port(kLower), 0);
              recognized = TRUE;
              queue = TRUE;
              at(Place::Isr);
            },
        .send =
            [this](NDIS_PACKET&) {
              at(Place::Send);
              return NDIS_STATUS_SUCCESS;
            },
        .query =
            [this] {
              at(Place::Query);
              if (GetParam().place == Place::Synchronized) {
                NdisMSynchronizeWithInterrupt(&scene.interrupt,
                                              reinterpret_cast<PVOID>(&Synchronized), this);
              }
            },
        .set = [this] { at(Place::Set); },
        .reset = [this] { at(Place::Reset); },
        .halt =
            [this] {
              at(Place::Halt);
              BOOLEAN cancelled = FALSE;
              NdisMCancelTimer(&scene.timer, &cancelled);
              NdisMDeregisterInterrupt(&scene.interrupt);
            },
    };
    if (GetParam().place == Place::CheckForHang) {
      h.checkForHang = [this] {
        at(Place::CheckForHang);
        return false;
      };
    }
    return h;
  }

  // Brings the adapter up, sets off the row's routine, and halts it.
  void run() {
    FakeMiniport miniport(handlers());
    ASSERT_EQ(machine.loadDriver(&FakeMiniport::DriverEntry), STATUS_SUCCESS);
    MiniportAdapter& adapter = machine.addAdapter();
    scene.adapter = &adapter;
    ASSERT_EQ(adapter.initialize(), NDIS_STATUS_SUCCESS);
    std::uint8_t buffer[4] = {};
    ULONG done = 0;
    ULONG needed = 0;
    switch (GetParam().place) {
      case Place::Send:
        adapter.send(scene.packet->ndis());
        break;
      case Place::Query:
      case Place::Synchronized:
        adapter.query(OID_GEN_LINK_SPEED, buffer, done, needed);
        break;
      case Place::Set:
        adapter.set(OID_GEN_CURRENT_LOOKAHEAD, buffer, done, needed);
        break;
      case Place::Reset:
        adapter.reset();
        break;
      case Place::CheckForHang:
        machine.runFor(std::chrono::seconds(3));
        break;
      case Place::Timer:
        NdisMSetPeriodicTimer(&scene.timer, 10);
        machine.runFor(std::chrono::milliseconds(15));
        break;
      case Place::Dpc:
      case Place::Isr:
      case Place::Disable:
      case Place::Enable:
        WRITE_PORT_UCHAR(port(kRaise), 0);
        break;
      case Place::Initialize:
      case Place::Halt:
        break;
    }
    adapter.halt();
  }

  Machine machine;
  LineDevice device;
  Scene scene;
  std::vector<std::string> broken;
};

TEST_P(PlatformRules, TheHostNamesTheRuleBroken) {
  run();
  std::string all;
  for (const std::string& what : broken) {
    all += what + "\n";
  }
  EXPECT_NE(all.find(GetParam().named), std::string::npos) << "broken rules:\n" << all;
}

INSTANTIATE_TEST_SUITE_P(Rows, PlatformRules, ::testing::ValuesIn(kRules),
                         [](const auto& row) { return std::string(row.param.name); });

// Every call the platform restricts has a row that breaks each of its rules.
TEST(PlatformRuleTable, EveryRestrictedCallHasARow) {
  for (const CallRule& rule : callRules()) {
    const auto breaks = [&](const char* words) {
      return std::any_of(std::begin(kRules), std::end(kRules), [&](const Rule& row) {
        return row.call == rule.call && std::string(row.named).find(words) != std::string::npos;
      });
    };
    EXPECT_EQ(breaks(" called at "), rule.allowed != kAnyIrql) << rule.name;
    EXPECT_EQ(breaks("only MiniportInitialize"), rule.initializeOnly) << rule.name;
  }
}

}  // namespace
}  // namespace kl::sim
