// The NDIS library's bookkeeping and the rules it holds a miniport to.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "fake_miniport.h"
#include "sim/host/handler_names.h"
#include "sim/host/machine.h"
#include "sim/host/packet.h"
#include "sim/host/packet_pool.h"
#include "sim/host/protocol.h"

namespace kl::sim {
namespace {

using testing::FakeHandlers;
using testing::FakeMiniport;

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    machine.onViolation([this](const std::string& what) { broken.push_back(what); });
  }

  MiniportAdapter& bringUp(FakeHandlers handlers) {
    miniport.emplace(std::move(handlers));
    EXPECT_EQ(machine.loadDriver(&FakeMiniport::DriverEntry), STATUS_SUCCESS);
    MiniportAdapter& adapter = machine.addAdapter();
    EXPECT_EQ(adapter.initialize(), NDIS_STATUS_SUCCESS);
    return adapter;
  }

  Machine machine;
  std::vector<std::string> broken;
  std::optional<FakeMiniport> miniport;
};

struct Ticks {
  std::vector<VirtualTime> at;
  Machine* machine;
};

VOID NTAPI RecordTick(PVOID, PVOID context, PVOID, PVOID) {
  auto& ticks = *static_cast<Ticks*>(context);
  ticks.at.push_back(ticks.machine->now());
}

VOID NTAPI NoteTimer(PVOID, PVOID context, PVOID, PVOID) {
  static_cast<std::vector<std::string>*>(context)->push_back("timer");
}

struct RangeCase {
  UINT base;
  UINT count;
  NDIS_STATUS status;
};

TEST_F(Library, IoPortRangesThatOverlapAreRefused) {
  MiniportAdapter& first = machine.addAdapter();
  MiniportAdapter& second = machine.addAdapter();
  PVOID mapped = nullptr;
  ASSERT_EQ(NdisMRegisterIoPortRange(&mapped, first.handle(), 0x300, 32), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(mapped), 0x300U);

  for (const RangeCase c :
       {RangeCase{0x300, 32, NDIS_STATUS_RESOURCE_CONFLICT},
        RangeCase{0x2F0, 17, NDIS_STATUS_RESOURCE_CONFLICT},
        RangeCase{0x31F, 1, NDIS_STATUS_RESOURCE_CONFLICT},
        RangeCase{0x2E0, 32, NDIS_STATUS_SUCCESS}, RangeCase{0x320, 32, NDIS_STATUS_SUCCESS}}) {
    SCOPED_TRACE(c.base);
    EXPECT_EQ(NdisMRegisterIoPortRange(&mapped, second.handle(), c.base, c.count), c.status);
  }
  EXPECT_EQ(machine.ioPortRangesHeld(), 3U);
  NdisMDeregisterIoPortRange(first.handle(), 0x300, 32, reinterpret_cast<PVOID>(0x300));
  NdisMDeregisterIoPortRange(first.handle(), 0x300, 32, reinterpret_cast<PVOID>(0x300));
  EXPECT_EQ(broken.size(), 1U);
  EXPECT_EQ(machine.ioPortRangesHeld(), 2U);
}

TEST_F(Library, MemoryIsTrackedAndNotHandedOutZeroed) {
  PVOID block = nullptr;
  ASSERT_EQ(NdisAllocateMemory(&block, 64, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)),
            NDIS_STATUS_SUCCESS);
  const std::vector<std::uint8_t> zeros(64, 0);
  EXPECT_NE(std::memcmp(block, zeros.data(), 64), 0);
  EXPECT_EQ(machine.memoryBlocksHeld(), 1U);
  NdisFreeMemory(block, 64, 0);
  EXPECT_EQ(machine.memoryBlocksHeld(), 0U);
  EXPECT_TRUE(broken.empty());
  NdisFreeMemory(block, 64, 0);
  EXPECT_EQ(broken.size(), 1U);
}

TEST_F(Library, ErrorLogKeepsCodeAndValues) {
  MiniportAdapter& adapter = machine.addAdapter();
  NdisWriteErrorLogEntry(adapter.handle(), NDIS_ERROR_CODE_HARDWARE_FAILURE, 2, 0UL, 1UL);
  NdisWriteErrorLogEntry(adapter.handle(), NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
  EXPECT_EQ(machine.errorLog(), (std::vector<ErrorLogEntry>{
                                    {adapter.handle(), NDIS_ERROR_CODE_HARDWARE_FAILURE, {0, 1}},
                                    {adapter.handle(), NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {}}}));
}

struct RecordingProtocol final : Protocol {
  void sendComplete(MiniportAdapter& /*adapter*/, NDIS_PACKET& packet,
                    NDIS_STATUS status) override {
    completions.emplace_back(&packet, status);
  }
  void receive(MiniportAdapter& adapter, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> /*lookahead*/, UINT packetSize) override {
    frames.emplace_back(header.begin(), header.end());
    if (destination != nullptr) {
      UINT transferred = 0;
      adapter.transferData(destination->ndis(), 0, packetSize, transferred);
    }
  }
  void receiveComplete(MiniportAdapter& /*adapter*/) override { ++bursts; }

  std::vector<std::pair<NDIS_PACKET*, NDIS_STATUS>> completions;
  std::vector<std::vector<std::uint8_t>> frames;
  Packet* destination = nullptr;
  int bursts = 0;
};

TEST_F(Library, ASendStatusOtherThanPendingIsTheCompletion) {
  MiniportAdapter& adapter =
      bringUp(FakeHandlers{.send = [](NDIS_PACKET&) { return NDIS_STATUS_FAILURE; }});
  RecordingProtocol protocol;
  adapter.bind(protocol);
  auto packet = Packet::fromBytes(std::vector<std::uint8_t>(60, 0x11));

  EXPECT_EQ(adapter.send(packet->ndis()), NDIS_STATUS_FAILURE);

  ASSERT_EQ(protocol.completions.size(), 1U);
  EXPECT_EQ(protocol.completions[0].second, NDIS_STATUS_FAILURE);
  EXPECT_EQ(adapter.packetsOutstanding(), 0U);
  machine.atDispatch([&] { NdisMSendComplete(adapter.handle(), &packet->ndis(), 0); });
  EXPECT_EQ(broken.size(), 1U);
}

TEST_F(Library, APendingPacketIsCompletedExactlyOnce) {
  std::vector<NDIS_PACKET*> held;
  MiniportAdapter& adapter = bringUp(FakeHandlers{.send = [&](NDIS_PACKET& packet) {
    held.push_back(&packet);
    return NDIS_STATUS_PENDING;
  }});
  RecordingProtocol protocol;
  adapter.bind(protocol);
  auto packet = Packet::fromPieces({{}, {1, 2, 3}, {4}});

  EXPECT_EQ(adapter.send(packet->ndis()), NDIS_STATUS_PENDING);
  EXPECT_EQ(adapter.packetsOutstanding(), 1U);
  adapter.send(packet->ndis());
  EXPECT_EQ(broken.size(), 1U);  // handed over again while still held

  machine.atDispatch([&] {
    NdisMSendComplete(adapter.handle(), held[0], NDIS_STATUS_SUCCESS);
    NdisMSendComplete(adapter.handle(), held[0], NDIS_STATUS_SUCCESS);
  });
  EXPECT_EQ(protocol.completions.size(), 1U);
  EXPECT_EQ(broken.size(), 2U);
}

// Each routine is named as it runs; the send a protocol makes inside one
// goes down only once it has returned.
TEST_F(Library, ASendMadeWhileAHandlerRunsWaitsUntilItReturns) {
  auto packet = Packet::fromBytes(std::vector<std::uint8_t>(60, 0x33));
  std::vector<std::string_view> seen;
  MiniportAdapter* adapter = nullptr;
  adapter = &bringUp({.entered = [&] {
    seen.push_back(machine.processor().handler());
    if (seen.back() == kMiniportQueryInformation) {
      seen.emplace_back(adapter->send(packet->ndis()) == NDIS_STATUS_PENDING ? "queued" : "sent");
    }
  }});
  RecordingProtocol protocol;
  adapter->bind(protocol);
  std::uint8_t buffer[4] = {};
  ULONG done = 0;
  adapter->query(OID_GEN_LINK_SPEED, buffer, done, done);
  EXPECT_EQ(seen, (std::vector<std::string_view>{kMiniportInitialize, kMiniportQueryInformation,
                                                 "queued", kMiniportSend}));
  ASSERT_EQ(protocol.completions.size(), 1U);
  EXPECT_EQ(protocol.completions[0].second, NDIS_STATUS_SUCCESS);
}

TEST_F(Library, TheLongestBusyWaitIsKeptForEachLevel) {
  for (const ULONG wait : {7U, 5U}) {
    KeStallExecutionProcessor(wait);
    machine.atDispatch([&] {
      KeStallExecutionProcessor(wait + 4);
      machine.processor().atDeviceLevel([&] { KeStallExecutionProcessor(wait - 4); });
    });
  }
  EXPECT_EQ(machine.longestStall(Irql::Passive), 7us);
  EXPECT_EQ(machine.longestStall(Irql::Dispatch), 11us);
  EXPECT_EQ(machine.longestStall(Irql::Device), 3us);
}

TEST_F(Library, AnAdapterCheckForHangCallsHungIsReset) {
  std::vector<VirtualTime> checks;
  int resets = 0;
  MiniportAdapter& adapter = bringUp(
      {.entered = [&] { resets += machine.processor().handler() == kMiniportReset ? 1 : 0; },
       .checkForHang = [&] { return checks.push_back(machine.now()), checks.size() == 2; }});
  machine.runFor(5s);
  EXPECT_EQ(checks, (std::vector<VirtualTime>{VirtualTime(2s), VirtualTime(4s)}));
  EXPECT_EQ(resets, 1);
  adapter.halt();
  machine.runFor(5s);
  EXPECT_EQ(checks.size(), 2U);
}

// The buffers NdisQueryPacket and NdisGetNextBuffer walk: their count and
// their bytes in order.
std::pair<UINT, std::vector<std::uint8_t>> chainOf(NDIS_PACKET& packet) {
  UINT physical = 0;
  UINT count = 0;
  PNDIS_BUFFER first = nullptr;
  UINT total = 0;
  NdisQueryPacket(&packet, &physical, &count, &first, &total);
  EXPECT_GE(physical, count);  // each piece spans a page or two; an empty one counts one
  EXPECT_TRUE(packet.Private.ValidCounts);
  std::vector<std::uint8_t> bytes;
  for (PNDIS_BUFFER buffer = first; buffer != nullptr; NdisGetNextBuffer(buffer, &buffer)) {
    PVOID address = nullptr;
    UINT length = 0;
    NdisQueryBuffer(buffer, &address, &length);
    bytes.insert(bytes.end(), static_cast<std::uint8_t*>(address),
                 static_cast<std::uint8_t*>(address) + length);
  }
  EXPECT_EQ(bytes.size(), total);
  return {count, bytes};
}

TEST_F(Library, PacketQueriesWalkTheWholeChain) {
  auto packet = Packet::fromPieces({{}, {1, 2, 3}, {}, {4, 5}});
  EXPECT_EQ(chainOf(packet->ndis()), std::make_pair(4U, std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

// A packet given back is lent again built anew: its chain, its counts and
// nothing the miniport left in it from the send before.
TEST_F(Library, APooledPacketComesBackBuiltAnew) {
  PacketPool pool;
  const std::vector<std::uint8_t> frame = {1, 2, 3, 4, 5, 6, 7};
  NDIS_PACKET& first = pool.lend(frame, std::vector<std::size_t>{2, 0, 5}).ndis();
  EXPECT_EQ(chainOf(first).first, 3U);
  first.MiniportReserved[0] = 0x5A;
  EXPECT_TRUE(pool.giveBack(first));
  EXPECT_FALSE(pool.giveBack(first));
  NDIS_PACKET& again = pool.lend(std::span(frame).first(4), std::vector<std::size_t>{4}).ndis();
  EXPECT_EQ(&again, &first);
  EXPECT_EQ(again.MiniportReserved[0], 0);
  EXPECT_EQ(chainOf(again), std::make_pair(1U, std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(pool.lent(), 1U);
}

// NdisQueryBuffer reads an MDL as NDIS.SYS does: nonpaged pool and mapped
// pages by their system address, locked pages mapped on first use, and pages
// not locked not at all.
TEST_F(Library, BufferQueriesReadTheMdlAsTheSystemMapsIt) {
  std::array<std::uint8_t, 5000> bytes{};
  struct MdlCase {
    CSHORT flags;
    PVOID mapped;
    PVOID expected;
    CSHORT flagsAfter;
    std::size_t violations;
  };
  PVOID const start = bytes.data() + 100;
  PVOID const elsewhere = bytes.data() + 7;
  for (const MdlCase c :
       {MdlCase{MDL_SOURCE_IS_NONPAGED_POOL, elsewhere, elsewhere, MDL_SOURCE_IS_NONPAGED_POOL, 0},
        MdlCase{MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED, elsewhere, elsewhere,
                MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED, 0},
        MdlCase{MDL_PAGES_LOCKED, nullptr, start, MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED, 0},
        MdlCase{0, nullptr, nullptr, 0, 1}}) {
    SCOPED_TRACE(c.flags);
    broken.clear();
    const auto address = reinterpret_cast<ULONG_PTR>(start);
    MDL mdl{};
    mdl.MdlFlags = c.flags;
    mdl.MappedSystemVa = c.mapped;
    mdl.StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR{PAGE_SIZE - 1});
    mdl.ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
    mdl.ByteCount = 4321;
    PVOID found = nullptr;
    UINT length = 0;
    NdisQueryBuffer(&mdl, &found, &length);
    EXPECT_EQ(found, c.expected);
    EXPECT_EQ(length, 4321U);
    EXPECT_EQ(mdl.MdlFlags, c.flagsAfter);
    EXPECT_EQ(broken.size(), c.violations);
  }
}

// NDIS fills the whole of the interrupt and timer objects a miniport gives
// it. One declared smaller than the platform's runs past the memory block
// that holds it, and is refused before anything is written there.
TEST_F(Library, AnObjectTooSmallForWhatNdisWritesIsCaught) {
  MiniportAdapter& adapter = bringUp({});
  // A record that ends with an object of the size an earlier declaration
  // gave it.
  constexpr UINT kFieldsBefore = 64;
  const auto record = [](UINT objectSize) {
    PVOID block = nullptr;
    EXPECT_EQ(NdisAllocateMemory(&block, kFieldsBefore + objectSize, 0,
                                 NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)),
              NDIS_STATUS_SUCCESS);
    return static_cast<PUCHAR>(block);
  };
  constexpr UINT kOldTimerSize = 20;
  PUCHAR timerRecord = record(kOldTimerSize);
  NdisMInitializeTimer(reinterpret_cast<PNDIS_MINIPORT_TIMER>(timerRecord + kFieldsBefore),
                       adapter.handle(), RecordTick, nullptr);
  ASSERT_EQ(broken.size(), 1U);
  EXPECT_NE(broken[0].find("the timer object"), std::string::npos) << broken[0];
  EXPECT_NE(broken[0].find("runs past the end"), std::string::npos) << broken[0];

  constexpr UINT kOldInterruptSize = 24;
  PUCHAR interruptRecord = record(kOldInterruptSize);
  EXPECT_EQ(NdisMRegisterInterrupt(
                reinterpret_cast<PNDIS_MINIPORT_INTERRUPT>(interruptRecord + kFieldsBefore),
                adapter.handle(), 9, 9, FALSE, FALSE, NdisInterruptLatched),
            NDIS_STATUS_FAILURE);
  EXPECT_EQ(broken.size(), 2U);
  EXPECT_FALSE(adapter.interruptConnected());
  NdisFreeMemory(timerRecord, kFieldsBefore + kOldTimerSize, 0);
  NdisFreeMemory(interruptRecord, kFieldsBefore + kOldInterruptSize, 0);

  NDIS_MINIPORT_TIMER whole{};
  NdisMInitializeTimer(&whole, adapter.handle(), RecordTick, nullptr);
  EXPECT_EQ(broken.size(), 2U);
}

TEST_F(Library, ReceiveIndicationsOnlyFromHandlerContext) {
  MiniportAdapter& adapter = bringUp({});
  RecordingProtocol protocol;
  adapter.bind(protocol);
  std::array<std::uint8_t, 14> header{};
  std::array<std::uint8_t, 4> lookahead{};

  NdisMEthIndicateReceive(adapter.handle(), nullptr, header.data(), 14, lookahead.data(), 4, 46);
  EXPECT_EQ(broken.size(), 1U);
  EXPECT_TRUE(protocol.frames.empty());

  machine.atDispatch([&] {
    NdisMEthIndicateReceive(adapter.handle(), nullptr, header.data(), 14, lookahead.data(), 4, 46);
    NdisMEthIndicateReceiveComplete(adapter.handle());
  });
  EXPECT_EQ(broken.size(), 1U);
  EXPECT_EQ(protocol.frames.size(), 1U);
  EXPECT_EQ(protocol.bursts, 1);

  auto destination = Packet::withSpace(46);
  UINT transferred = 0;
  adapter.transferData(destination->ndis(), 0, 46, transferred);
  EXPECT_EQ(broken.size(), 2U);
}

TEST_F(Library, APeriodicTimerFiresOnTheVirtualClockUntilCancelled) {
  Ticks ticks{{}, &machine};
  NDIS_MINIPORT_TIMER timer{};
  MiniportAdapter& adapter = machine.addAdapter();
  NdisMInitializeTimer(&timer, adapter.handle(), RecordTick, &ticks);
  NdisMSetPeriodicTimer(&timer, 5000);

  machine.runFor(16s);
  EXPECT_EQ(ticks.at,
            (std::vector<VirtualTime>{VirtualTime(5s), VirtualTime(10s), VirtualTime(15s)}));
  BOOLEAN cancelled = FALSE;
  NdisMCancelTimer(&timer, &cancelled);
  EXPECT_TRUE(cancelled);
  machine.runFor(20s);
  EXPECT_EQ(ticks.at.size(), 3U);
}

TEST_F(Library, ATimerDueDuringAHandlerWaitsForItToReturn) {
  std::vector<std::string> order;
  NDIS_MINIPORT_TIMER timer{};
  MiniportAdapter& adapter = machine.addAdapter();
  NdisMInitializeTimer(&timer, adapter.handle(), NoteTimer, &order);
  NdisMSetPeriodicTimer(&timer, 1);

  machine.atDispatch([&] {
    KeStallExecutionProcessor(1500);
    order.emplace_back("handler done");
  });
  EXPECT_EQ(order, (std::vector<std::string>{"handler done", "timer"}));
  BOOLEAN cancelled = FALSE;
  NdisMCancelTimer(&timer, &cancelled);
}

struct RegistrationCase {
  UCHAR major;
  UINT length;
  NDIS_STATUS status;
};

TEST_F(Library, RegistrationChecksVersionAndLength) {
  bringUp({});
  const NDIS40_MINIPORT_CHARACTERISTICS complete = *machine.characteristics();
  NDIS_HANDLE wrapper = nullptr;
  DRIVER_OBJECT object{};
  NdisInitializeWrapper(&wrapper, &object, nullptr, nullptr);

  for (const RegistrationCase c :
       {RegistrationCase{4, sizeof(complete), NDIS_STATUS_SUCCESS},
        RegistrationCase{3, sizeof(complete), NDIS_STATUS_BAD_VERSION},
        RegistrationCase{4, sizeof(complete) - 12, NDIS_STATUS_BAD_CHARACTERISTICS}}) {
    SCOPED_TRACE(c.length);
    NDIS40_MINIPORT_CHARACTERISTICS table = complete;
    table.MajorNdisVersion = c.major;
    EXPECT_EQ(NdisMRegisterMiniport(wrapper, &table, c.length), c.status);
  }
}

}  // namespace
}  // namespace kl::sim
