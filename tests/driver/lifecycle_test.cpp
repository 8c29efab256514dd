// Bringing adapters up through NDIS on the card model, turning away what
// cannot be used, and resetting and halting them: what each outcome returns,
// logs and gives back.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver_entry.h"
#include "driver/lifecycle.h"
#include "sim/card/pc_card.h"
#include "sim/host/packet.h"
#include "tests/driver/card_world.h"
#include "tests/driver/port_trace.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::AdapterSetup;
using sim::ErrorLogEntry;
using sim::MiniportAdapter;
using sim::card::BusWidth;
using sim::card::Card;
using sim::card::CardConfig;
using sim::card::MacAddress;
using sim::card::MemoryPlacement;

constexpr MacAddress kStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
constexpr MacAddress kPcCardStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x99};
constexpr MacAddress kOverride = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

constexpr ULONG kUnsupportedConfiguration = 0xC0001391;
constexpr ULONG kAdapterNotFound = 0xC000138B;
constexpr ULONG kInterruptConnect = 0xC000138C;

CardConfig WordCard(MemoryPlacement memory = {}) {
  return CardConfig{
      .busWidth = BusWidth::Word, .memory = memory, .prom = sim::card::wordWidePromImage(kStation)};
}

CardConfig ByteCard(MemoryPlacement memory = {}) {
  return CardConfig{
      .busWidth = BusWidth::Byte, .memory = memory, .prom = sim::card::byteWidePromImage(kStation)};
}

MacAddress AddressOf(const UCHAR (&address)[6]) {
  MacAddress mac{};
  std::copy(std::begin(address), std::end(address), mac.begin());
  return mac;
}

// ---------------------------------------------------------------------------
// Every card variant comes up.

struct BringUpCase {
  const char* name;
  CardConfig card;
  AdapterSetup setup;
  sim::PortAddress base = 0x300;
  UINT vector = 3;
  UCHAR eightBitMode = 0;
  ULONG txAreaStart = 0x4000;
  ULONG rxAreaStart = 0x4C00;
  ULONG rxAreaEnd = 0x8000;
  UCHAR txStartPage = 0x40;
  UCHAR rxFirstPage = 0x4C;
  UCHAR rxStopPage = 0x80;
  MacAddress permanent = kStation;
  MacAddress current = kStation;
};

class BringUp : public ::testing::TestWithParam<BringUpCase> {};

TEST_P(BringUp, RunsOnTheWireWithItsLayoutAndAddresses) {
  const BringUpCase& c = GetParam();
  CardWorld world;
  Card& card = world.addCard(c.card, c.base, c.vector);
  MiniportAdapter& block = world.addAdapter(c.setup);

  ASSERT_EQ(block.initialize(), NDIS_STATUS_SUCCESS);
  const Adapter& a = CardWorld::record(block);
  EXPECT_EQ(a.EightBitMode, c.eightBitMode);
  EXPECT_EQ(a.TxAreaStart, c.txAreaStart);
  EXPECT_EQ(a.RxAreaStart, c.rxAreaStart);
  EXPECT_EQ(a.RxAreaEnd, c.rxAreaEnd);
  EXPECT_EQ(a.TxStartPage, c.txStartPage);
  EXPECT_EQ(a.RxFirstPage, c.rxFirstPage);
  EXPECT_EQ(a.RxStopPage, c.rxStopPage);
  EXPECT_EQ(AddressOf(a.PermanentAddress), c.permanent);
  EXPECT_EQ(AddressOf(a.CurrentAddress), c.current);
  EXPECT_EQ(a.TxBufferCount, 12U);
  EXPECT_EQ(a.Lookahead, 238U);
  EXPECT_EQ(a.CurrentTx, -1);
  EXPECT_EQ(a.ImrValue, 0x1B);
  EXPECT_EQ(AdapterList, &a);

  // NDIS learnt the bus and has the interrupt connected.
  EXPECT_EQ(block.interfaceType(), static_cast<NDIS_INTERFACE_TYPE>(a.BusType));
  EXPECT_EQ(block.connectedVector(), c.vector);

  // The controller runs on the wire with an empty ring, unmasked, and the
  // card drives its interrupt line.
  const sim::card::Controller& controller = card.controller();
  EXPECT_FALSE(controller.stopped());
  EXPECT_EQ(controller.tcr(), 0x00);
  EXPECT_EQ(controller.imr(), 0x1B);
  EXPECT_EQ(controller.dcr(), c.eightBitMode ? 0x48 : 0x49);
  EXPECT_EQ(controller.pstart(), c.rxFirstPage);
  EXPECT_EQ(controller.pstop(), c.rxStopPage);
  EXPECT_EQ(controller.bnry(), c.rxFirstPage);
  EXPECT_EQ(controller.curr(), c.rxFirstPage + 1);
  EXPECT_EQ(controller.stationAddress(), c.current);
  EXPECT_TRUE(card.vendor().interruptOutputEnabled());
  EXPECT_TRUE(world.machine().errorLog().empty());

  block.halt();
  EXPECT_EQ(AdapterList, nullptr);
  EXPECT_EQ(world.machine().memoryBlocksHeld(), 0U);
  EXPECT_EQ(world.machine().ioPortRangesHeld(), 0U);
  EXPECT_FALSE(block.interruptConnected());
}

AdapterSetup Keywords(sim::Registry keywords) {
  return AdapterSetup{.keywords = std::move(keywords)};
}

INSTANTIATE_TEST_SUITE_P(
    Variants, BringUp,
    ::testing::Values(
        BringUpCase{.name = "isa_word_card", .card = WordCard()},
        BringUpCase{.name = "isa_byte_card", .card = ByteCard(), .eightBitMode = 1},
        BringUpCase{.name = "memory_to_the_top",
                    .card = WordCard({0x4000, 0xC000}),
                    .rxAreaEnd = 0xFF00,
                    .rxStopPage = 0xFF},
        BringUpCase{.name = "byte_card_memory_from_zero",
                    .card = ByteCard({0x0000, 0x4000}),
                    .eightBitMode = 1,
                    .txAreaStart = 0x400,
                    .rxAreaStart = 0x1000,
                    .rxAreaEnd = 0x4000,
                    .txStartPage = 0x04,
                    .rxFirstPage = 0x10,
                    .rxStopPage = 0x40},
        BringUpCase{.name = "smallest_usable_memory",
                    .card = WordCard({0xA000, 0x1400}),
                    .setup = Keywords({{"IoBaseAddress", "120"}, {"InterruptNumber", "2"}}),
                    .base = 0x120,
                    .vector = 2,
                    .txAreaStart = 0xA000,
                    .rxAreaStart = 0xAC00,
                    .rxAreaEnd = 0xB400,
                    .txStartPage = 0xA0,
                    .rxFirstPage = 0xAC,
                    .rxStopPage = 0xB4},
        BringUpCase{.name = "pc_card",
                    .card = CardConfig{.busWidth = BusWidth::Word},
                    .setup = AdapterSetup{.keywords = {{"BusType", "8"},
                                                       {"CardType", "1"},
                                                       {"IoBaseAddress", "10"},
                                                       {"InterruptNumber", "F"}},
                                          .attributeMemory =
                                              sim::card::pcCardAttributeMemory(kPcCardStation)},
                    .base = 0x10,
                    .vector = 15,
                    .permanent = kPcCardStation,
                    .current = kPcCardStation},
        BringUpCase{.name = "fixed_memory_byte_card",
                    .card = ByteCard({0x4000, 0x4000}),
                    .setup = Keywords({{"CardType", "2"}}),
                    .eightBitMode = 1},
        BringUpCase{.name = "micro_channel_67B0",
                    .card = WordCard(),
                    .setup = AdapterSetup{.keywords = {{"BusType", "3"}},
                                          .mca = sim::McaSlot{.pos = {.AdapterId = 0x67B0,
                                                                      .PosData1 = 0x4A}}},
                    .base = 0x320,
                    .vector = 5},
        BringUpCase{
            .name = "configured_address",
            .card = ByteCard(),
            .setup = AdapterSetup{.networkAddress = std::vector<std::uint8_t>(kOverride.begin(),
                                                                              kOverride.end())},
            .eightBitMode = 1,
            .current = kOverride}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Initialize, SelectsTheFirst802_3Medium) {
  CardWorld world;
  world.addCard(WordCard());
  MiniportAdapter& block = world.addAdapter();
  ASSERT_EQ(block.initialize({NdisMedium802_5, NdisMedium802_3, NdisMedium802_3}),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(block.selectedMedium(), 1U);
  block.halt();
}

// ---------------------------------------------------------------------------
// Every way initialisation fails: its status, its log entry, and everything
// taken given back (the host also fails the test on any leak).

// The index of the card access at which the controller start reads CR back
// after its stop command, found by bringing the same card up once.
std::uint64_t ControllerStartCheckAccess(const CardConfig& config, const AdapterSetup& setup) {
  CardWorld world;
  world.addCard(config);
  MiniportAdapter& block = world.addAdapter(setup);
  world.interposer().clearHook();
  world.machine().bus().startTrace();
  EXPECT_EQ(block.initialize(), NDIS_STATUS_SUCCESS);
  const std::vector<Access> trace = Observed(world.machine().bus());
  const auto pageOne = std::find(trace.begin(), trace.end(), Wr(port::CR, 0x61));
  EXPECT_NE(pageOne, trace.end());
  for (auto it = pageOne; it != trace.begin();) {
    --it;
    if (it->direction == sim::Direction::Read && it->offset == port::CR) {
      return static_cast<std::uint64_t>(it - trace.begin());
    }
  }
  ADD_FAILURE() << "no CR read before the controller start's page select";
  return 0;
}

struct FailureCase {
  const char* name;
  std::function<MiniportAdapter&(CardWorld&)> arrange;
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  std::optional<ErrorLogEntry> logged;  // its adapter is filled in by the test
  bool stoppedLast = false;             // the last command was a stop (CR 0x01)
  std::vector<NDIS_MEDIUM> media = {NdisMedium802_3};
};

class InitializeFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InitializeFailure, ReturnsLogsAndGivesEverythingBack) {
  const FailureCase& c = GetParam();
  CardWorld world;
  MiniportAdapter& block = c.arrange(world);
  const std::size_t rangesBefore = world.machine().ioPortRangesHeld();
  world.machine().bus().startTrace();

  EXPECT_EQ(block.initialize(c.media), c.status);

  const auto& log = world.machine().errorLog();
  if (c.logged) {
    ErrorLogEntry expected = *c.logged;
    expected.adapter = block.handle();
    EXPECT_EQ(log, std::vector<ErrorLogEntry>{expected});
  } else {
    EXPECT_TRUE(log.empty());
  }
  EXPECT_EQ(world.machine().memoryBlocksHeld(), 0U);
  EXPECT_EQ(world.machine().ioPortRangesHeld(), rangesBefore);
  EXPECT_FALSE(block.interruptConnected());
  EXPECT_EQ(AdapterList, nullptr);
  if (c.stoppedLast) {
    std::optional<Access> lastCommand;
    for (const Access& access : Observed(world.machine().bus())) {
      if (access.direction == sim::Direction::Write && access.offset == port::CR) {
        lastCommand = access;
      }
    }
    EXPECT_EQ(lastCommand, Wr(port::CR, 0x01));
  }
}

ErrorLogEntry Logged(ULONG code, std::vector<ULONG> values = {}) {
  return ErrorLogEntry{nullptr, code, std::move(values)};
}

MiniportAdapter& PlainAdapter(CardWorld& world) {
  world.addCard(WordCard());
  return world.addAdapter();
}

MiniportAdapter& WithCard(CardWorld& world, const CardConfig& config, AdapterSetup setup = {}) {
  world.addCard(config);
  return world.addAdapter(std::move(setup));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InitializeFailure,
    ::testing::Values(
        FailureCase{.name = "no_802_3_medium",
                    .arrange = PlainAdapter,
                    .status = NDIS_STATUS_UNSUPPORTED_MEDIA,
                    .media = {NdisMedium802_5, NdisMediumFddi}},
        FailureCase{.name = "empty_medium_array",
                    .arrange = PlainAdapter,
                    .status = NDIS_STATUS_UNSUPPORTED_MEDIA,
                    .media = {}},
        FailureCase{.name = "no_memory_for_the_record",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      world.machine().ndisFailures().failCall(sim::NdisOperation::AllocateMemory, 1,
                                                              NDIS_STATUS_RESOURCES);
                      return PlainAdapter(world);
                    },
                    .status = NDIS_STATUS_RESOURCES},
        FailureCase{.name = "configuration_cannot_be_opened",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      world.machine().ndisFailures().failCall(sim::NdisOperation::OpenConfiguration,
                                                              1, NDIS_STATUS_RESOURCES);
                      return WithCard(world, WordCard());
                    },
                    .status = NDIS_STATUS_RESOURCES},
        FailureCase{.name = "io_base_refused",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      return WithCard(world, WordCard(), Keywords({{"IoBaseAddress", "11F"}}));
                    },
                    .logged = Logged(kUnsupportedConfiguration, {0x11F})},
        FailureCase{.name = "interrupt_refused",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      return WithCard(world, WordCard(), Keywords({{"InterruptNumber", "FF"}}));
                    },
                    .logged = Logged(kUnsupportedConfiguration, {0xFFFFFFFF})},
        FailureCase{.name = "pos_bytes_unreadable",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      return WithCard(world, WordCard(), Keywords({{"BusType", "3"}}));
                    },
                    .logged = Logged(kUnsupportedConfiguration, {kUnsupportedConfiguration})},
        FailureCase{.name = "ports_overlap_another_adapter",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      MiniportAdapter& other = world.addAdapter();
                      PVOID mapped = nullptr;
                      EXPECT_EQ(NdisMRegisterIoPortRange(&mapped, other.handle(), 0x310, 0x40),
                                NDIS_STATUS_SUCCESS);
                      return PlainAdapter(world);
                    }},
        FailureCase{.name = "probe_reads_0x22",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      world.addCard(WordCard()).faults().crReadBack = 0x22;
                      return world.addAdapter();
                    },
                    .logged = Logged(kAdapterNotFound)},
        FailureCase{
            .name = "no_card_at_the_io_base",
            .arrange = [](CardWorld& world) -> MiniportAdapter& { return world.addAdapter(); },
            .logged = Logged(kAdapterNotFound)},
        FailureCase{.name = "card_without_memory",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      return WithCard(world, WordCard({0x4000, 0}));
                    },
                    .logged = Logged(kAdapterNotFound)},
        FailureCase{.name = "card_memory_too_small",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      return WithCard(world, ByteCard({0x4000, 0x1000}));
                    },
                    .logged = Logged(kAdapterNotFound)},
        FailureCase{.name = "card_never_reports_stopped",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      world.addCard(ByteCard()).faults().stoppedStateHidden = true;
                      return world.addAdapter(Keywords({{"CardType", "2"}}));
                    },
                    .logged = Logged(kAdapterNotFound)},
        FailureCase{.name = "pc_card_short_attribute_read",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      std::vector<std::uint8_t> attribute =
                          sim::card::pcCardAttributeMemory(kPcCardStation);
                      attribute.resize(0x7FD);
                      return WithCard(world, WordCard(),
                                      {.keywords = {{"CardType", "1"}},
                                       .attributeMemory = std::move(attribute)});
                    },
                    .logged = Logged(kAdapterNotFound)},
        FailureCase{.name = "pc_card_without_attribute_memory",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      return WithCard(world, WordCard(), Keywords({{"CardType", "1"}}));
                    },
                    .logged = Logged(kAdapterNotFound)},
        FailureCase{.name = "controller_does_not_start",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      const std::uint64_t check = ControllerStartCheckAccess(ByteCard(), {});
                      Card& card = world.addCard(ByteCard());
                      world.interposer().setHook(
                          [&card, check](std::uint64_t access, std::uint16_t, sim::Direction) {
                            if (access == check) {
                              card.faults().crReadBack = 0x01;
                            }
                          });
                      return world.addAdapter();
                    },
                    .logged = Logged(kAdapterNotFound),
                    .stoppedLast = true},
        FailureCase{.name = "interrupt_cannot_be_connected",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      world.machine().ndisFailures().failCall(sim::NdisOperation::RegisterInterrupt,
                                                              1, NDIS_STATUS_RESOURCES);
                      return WithCard(world, WordCard());
                    },
                    .logged = Logged(kInterruptConnect),
                    .stoppedLast = true},
        FailureCase{.name = "interrupt_vector_taken",
                    .arrange = [](CardWorld& world) -> MiniportAdapter& {
                      MiniportAdapter& other = world.addAdapter();
                      static NDIS_MINIPORT_INTERRUPT object{};
                      EXPECT_EQ(other.registerInterrupt(
                                    object, {.vector = 3, .mode = NdisInterruptLatched}),
                                NDIS_STATUS_SUCCESS);
                      return PlainAdapter(world);
                    },
                    .logged = Logged(kInterruptConnect),
                    .stoppedLast = true}),
    [](const auto& test) { return std::string(test.param.name); });

// ---------------------------------------------------------------------------
// The presence probe.

struct ProbeCase {
  const char* name;
  std::uint8_t crReadBack;
  bool present;
};

class Probe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Probe, AcceptsAStoppedControllerOnly) {
  CardWorld world;
  world.addCard(WordCard()).faults().crReadBack = GetParam().crReadBack;
  Adapter adapter{};
  adapter.IoPort = reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(0x300));
  EXPECT_EQ(ProbeController(&adapter) != FALSE, GetParam().present);
}

INSTANTIATE_TEST_SUITE_P(ReadBacks, Probe,
                         ::testing::Values(ProbeCase{"stopped", 0x21, true},
                                           ProbeCase{"stopped_was_started", 0x23, true},
                                           ProbeCase{"running", 0x22, false},
                                           ProbeCase{"stop_without_abort", 0x01, false},
                                           ProbeCase{"nothing_answers", 0xFF, false}),
                         [](const auto& test) { return std::string(test.param.name); });

// ---------------------------------------------------------------------------
// The one-adapter rule of a multiprocessor machine, through NDIS.

struct SecondAdapter {
  CardWorld world;
  MiniportAdapter* first;
  MiniportAdapter* second;

  explicit SecondAdapter(unsigned processors)
      : world(sim::MachineSetup{.processorCount = processors}) {
    world.addCard(WordCard(), 0x300, 3);
    world.addCard(ByteCard(), 0x340, 4);
    first = &world.addAdapter();
    second = &world.addAdapter(Keywords({{"IoBaseAddress", "340"}, {"InterruptNumber", "4"}}));
  }
};

TEST(ProcessorRule, ASecondAdapterWaitsForTheFirstToHaltOnTwoProcessors) {
  SecondAdapter machine(2);
  ASSERT_EQ(machine.first->initialize(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(machine.second->initialize(), NDIS_STATUS_FAILURE);
  EXPECT_EQ(
      machine.world.machine().errorLog(),
      (std::vector<ErrorLogEntry>{
          {machine.second->handle(), kUnsupportedConfiguration, {kUnsupportedConfiguration}}}));
  machine.first->halt();
  EXPECT_EQ(machine.second->initialize(), NDIS_STATUS_SUCCESS);
  machine.second->halt();
}

TEST(ProcessorRule, OneProcessorRunsEveryAdapter) {
  SecondAdapter machine(1);
  ASSERT_EQ(machine.first->initialize(), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(machine.second->initialize(), NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(machine.world.machine().errorLog().empty());
  machine.first->halt();
  machine.second->halt();
}

TEST(ProcessorRule, AnAdapterWhoseInterruptFailedDoesNotCount) {
  SecondAdapter machine(2);
  machine.world.machine().ndisFailures().failCall(sim::NdisOperation::RegisterInterrupt, 1,
                                                  NDIS_STATUS_RESOURCES);
  EXPECT_EQ(machine.first->initialize(), NDIS_STATUS_FAILURE);
  EXPECT_EQ(machine.second->initialize(), NDIS_STATUS_SUCCESS);
  machine.second->halt();
}

// ---------------------------------------------------------------------------
// Halt, initialise again, and the idle timer.

TEST(Halt, TheSameAdapterComesUpAgain) {
  CardWorld world;
  Card& card = world.addCard(ByteCard());
  MiniportAdapter& block = world.addAdapter();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(block.initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card.controller().stationAddress(), kStation);
    EXPECT_EQ(card.controller().tcr(), 0x00);
    block.halt();
    // Halted: the controller is back in internal loopback.
    EXPECT_EQ(card.controller().tcr(), 0x02);
  }
}

TEST(Timer, FiresEvery5000MsChangingNothingAndNeverAfterHalt) {
  CardWorld world;
  world.addCard(WordCard());
  MiniportAdapter& block = world.addAdapter();
  ASSERT_EQ(block.initialize(), NDIS_STATUS_SUCCESS);
  const Adapter& record = CardWorld::record(block);
  const auto bytesOf = [&record] {
    std::vector<std::uint8_t> bytes(sizeof(Adapter));
    std::memcpy(bytes.data(), &record, sizeof(Adapter));
    return bytes;
  };
  const std::vector<std::uint8_t> before = bytesOf();

  world.machine().runFor(4999ms);
  EXPECT_EQ(block.timerRuns(), 0U);
  world.machine().runFor(1ms);
  EXPECT_EQ(block.timerRuns(), 1U);
  world.machine().runFor(4999ms);
  EXPECT_EQ(block.timerRuns(), 1U);
  world.machine().runFor(1ms);
  EXPECT_EQ(block.timerRuns(), 2U);
  world.machine().runFor(40s);
  EXPECT_EQ(block.timerRuns(), 10U);
  EXPECT_EQ(bytesOf(), before) << "the idle timer changed the record";

  block.halt();
  world.machine().runFor(60s);
  EXPECT_EQ(block.timerRuns(), 10U);
}

}  // namespace
}  // namespace kl::test
