// The fixed sequences of bring-up and halt, pinned access by access and wait
// by wait from the bus trace, on the card model: the presence probe (and the
// card types that skip it), the card test's reset, bus-width detection and
// memory search, the station PROM read, the vendor-register writes that end
// initialization, and the order of halt around its 250 ms wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver_entry.h"
#include "driver/lifecycle.h"
#include "nic/card_probe.h"
#include "sim/card/pc_card.h"
#include "sim/card/phy/link_partner.h"
#include "sim/world/patch_cable.h"
#include "tests/driver/card_world.h"
#include "tests/driver/port_trace.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;

constexpr sim::card::MacAddress kStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
const sim::MachineSetup kFastest{.timing = {.corner = sim::card::TimingCorner::Fastest}};

// A remote-DMA transfer as it was loaded: address, count and command.
struct Transfer {
  std::uint16_t address = 0;
  std::uint16_t count = 0;
  std::uint8_t command = 0;
  friend bool operator==(const Transfer&, const Transfer&) = default;
};

// One step of a sequence: a port access, a wait between two accesses, a
// whole MII management frame (the frame tests pin those), or a transfer of
// the memory search (the remote-DMA tests pin those).
struct Step {
  enum class Kind : std::uint8_t { Port, Wait, MiiFrame, Transfer };
  Kind kind = Kind::Port;
  Access access{};
  microseconds wait{};
  Transfer transfer{};

  friend bool operator==(const Step&, const Step&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Step& step) {
    switch (step.kind) {
      case Kind::Port:
        return out << step.access;
      case Kind::Wait:
        return out << "wait " << step.wait.count() << " us";
      case Kind::MiiFrame:
        return out << "MII frame";
      case Kind::Transfer:
        return out << std::hex << "transfer 0x" << int{step.transfer.command} << " at 0x"
                   << step.transfer.address << std::dec << " x" << step.transfer.count;
    }
    return out;
  }
};

using Steps = std::vector<Step>;

Step P(const Access& access) { return {Step::Kind::Port, access, {}, {}}; }
Step Wait(microseconds wait) { return {Step::Kind::Wait, {}, wait, {}}; }
Step Moved(std::uint16_t address, std::uint16_t count, std::uint8_t command) {
  return {Step::Kind::Transfer, {}, {}, {address, count, command}};
}
const Step kMiiFrame{Step::Kind::MiiFrame, {}, {}, {}};

void Add(Steps& steps, std::initializer_list<Access> accesses) {
  for (const Access& access : accesses) {
    steps.push_back(P(access));
  }
}

void Add(Steps& steps, const Steps& more) { steps.insert(steps.end(), more.begin(), more.end()); }

Steps Slice(const Steps& steps, std::size_t from, std::size_t to) {
  return {steps.begin() + static_cast<std::ptrdiff_t>(from),
          steps.begin() + static_cast<std::ptrdiff_t>(to)};
}

// The bus trace as steps: the time between two accesses is a wait, and an
// excursion to page 3 that clocks MIIMR more than once (the CR read that
// keeps the caller's page, the page select, the clocking, the CR restore) is
// one MII frame.
Steps StepsOf(const std::vector<sim::PortAccess>& trace) {
  const auto selectsPage3 = [](const sim::PortAccess& access) {
    return access.direction == sim::Direction::Write && access.offset == port::CR &&
           (access.value & 0xC0) == 0xC0;
  };
  Steps steps;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (i > 0 && trace[i].time != trace[i - 1].time) {
      steps.push_back(
          Wait(std::chrono::duration_cast<microseconds>(trace[i].time - trace[i - 1].time)));
    }
    if (i + 1 < trace.size() && trace[i].offset == port::CR && selectsPage3(trace[i + 1])) {
      std::size_t end = i + 2;
      std::size_t clocks = 0;
      for (; end < trace.size() && trace[end].offset != port::CR; ++end) {
        clocks += trace[end].direction == sim::Direction::Write ? 1 : 0;
      }
      if (clocks > 1 && end < trace.size()) {
        steps.push_back(kMiiFrame);
        i = end;
        continue;
      }
    }
    const sim::PortAccess& a = trace[i];
    steps.push_back(P({a.direction, a.offset, a.width, a.value, a.count}));
  }
  return steps;
}

// The memory search as the transfers it loads (each from the five writes of
// address, count and command), with any wait kept to show.
Steps TransfersOf(const Steps& steps) {
  Steps transfers;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Access& a = steps[i].access;
    if (steps[i].kind == Step::Kind::Wait) {
      transfers.push_back(steps[i]);
    } else if (a.direction == sim::Direction::Write && a.offset == port::RSAR0 &&
               i + 4 < steps.size()) {
      transfers.push_back(Moved(
          static_cast<std::uint16_t>(a.value | steps[i + 1].access.value << 8),
          static_cast<std::uint16_t>(steps[i + 2].access.value | steps[i + 3].access.value << 8),
          static_cast<std::uint8_t>(steps[i + 4].access.value)));
    }
  }
  return transfers;
}

// Sequences run to thousands of steps: a difference is shown where it is.
::testing::AssertionResult SameSteps(const Steps& actual, const Steps& expected) {
  std::size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) {
    ++i;
  }
  if (i == actual.size() && i == expected.size()) {
    return ::testing::AssertionSuccess();
  }
  const auto at = [i](const Steps& steps) {
    std::ostringstream text;
    if (i < steps.size()) {
      text << steps[i];
    } else {
      text << "nothing";
    }
    return text.str();
  };
  return ::testing::AssertionFailure()
         << "step " << i << " of " << actual.size() << " (" << expected.size()
         << " expected): " << at(actual) << ", expected " << at(expected);
}

// ---------------------------------------------------------------------------
// The sequences, each on card variants. Initialization's are cut from the
// trace of a whole MiniportInitialize: the probe is what comes before the
// first MII frame, the end is what follows the controller going on the wire.
// The card test and the PROM read are traced on their own.

enum class Part : std::uint8_t { Probe, CardTest, StationAddress, InitializeEnd };

struct SequenceRow {
  std::string name;
  Part part;
  sim::card::CardConfig card;
  ULONG cardType = 0;
  UCHAR busType = NdisInterfaceIsa;
  bool cabled = false;
  Steps steps;
};

// The card answers as fast as its timing allows, and a cabled card has its
// link before the driver comes.
Steps Observe(const SequenceRow& row) {
  CardWorld world(kFastest);
  sim::card::Card& card = world.addCard(row.card);
  sim::card::LinkPartner partner;
  std::optional<sim::world::PatchCable> cable;
  if (row.cabled) {
    cable.emplace(world.machine().clock(), card, partner);
    world.machine().runFor(5s);
  }
  sim::MiniportAdapter& block =
      world.addAdapter({.keywords = {{"CardType", static_cast<std::uint32_t>(row.cardType)}},
                        .attributeMemory = sim::card::pcCardAttributeMemory(kStation)});
  sim::IoBus& bus = world.machine().bus();
  bus.startTrace();

  if (row.part == Part::Probe || row.part == Part::InitializeEnd) {
    EXPECT_EQ(block.initialize(), NDIS_STATUS_SUCCESS);
    const Steps steps = StepsOf(bus.trace());
    block.halt();
    std::size_t cut = 0;
    if (row.part == Part::Probe) {
      while (cut < steps.size() && steps[cut].kind != Step::Kind::MiiFrame) {
        ++cut;
      }
      return Slice(steps, 0, cut);
    }
    for (cut = steps.size(); cut > 0 && steps[cut - 1] != P(Wr(port::TCR, 0x00)); --cut) {
    }
    return Slice(steps, cut, steps.size());
  }

  Adapter adapter{};
  adapter.IoPort = reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(kIoBase));
  adapter.MiniportHandle = block.handle();
  adapter.CardType = row.cardType;
  adapter.BusType = row.busType;
  EXPECT_EQ(CardResetAndTest(&adapter), TRUE);
  if (row.part == Part::StationAddress) {
    bus.clearTrace();
    EXPECT_EQ(ReadStationAddress(&adapter), TRUE);
    EXPECT_EQ(0, std::memcmp(adapter.PermanentAddress, kStation.data(), kStation.size()));
    return StepsOf(bus.trace());
  }
  // The card test proper follows the PHY's last frame; its memory search
  // follows the reset for use, which ends by starting in loopback.
  const Steps all = StepsOf(bus.trace());
  std::size_t start = all.size();
  while (start > 0 && all[start - 1] != kMiiFrame) {
    --start;
  }
  const Steps steps = Slice(all, start, all.size());
  std::size_t search = 0;
  while (search + 1 < steps.size() &&
         !(steps[search] == P(Wr(port::TCR, 0x02)) && steps[search + 1] == P(Wr(port::CR, 0x22)))) {
    ++search;
  }
  search = std::min(search + 2, steps.size());
  Steps observed = Slice(steps, 0, search);
  if (search < steps.size()) {
    Add(observed, TransfersOf(Slice(steps, search, steps.size() - 1)));
    observed.push_back(steps.back());
  }
  return observed;
}

class BringUpSequence : public ::testing::TestWithParam<SequenceRow> {};

TEST_P(BringUpSequence, IsTheCardsOwnToTheLastWriteAndWait) {
  EXPECT_TRUE(SameSteps(Observe(GetParam()), GetParam().steps));
}

// The presence probe.
const Steps kProbe = {P(Wr(port::IMR, 0x00)), P(Wr(port::CR, 0x21)), Wait(2000us),
                      P(Rd(port::CR, 0x21))};

// The card test: the reset with its two 2 ms waits and the stopped-state
// check, then a remote read left running.
Steps CardReset() {
  Steps steps;
  Add(steps, {Wr(port::CR, 0x21), Wr(port::DCR, 0x50), Wr(port::TPSR, 0xA0), Wr(port::TCR, 0x00),
              Wr(port::RCR, 0x20), Wr(port::PSTART, 0x04), Wr(port::PSTOP, 0xFF),
              Wr(port::BNRY, 0x04), Wr(port::TBCR0, 0x3C), Wr(port::TBCR1, 0x00)});
  steps.push_back(Wait(2000us));
  Add(steps, {Wr(port::ISR, 0xFF), Wr(port::CR, 0x41), Wr(port::CURR, 0x04), Wr(port::CR, 0x01)});
  steps.push_back(Wait(2000us));
  Add(steps, {Rd(port::CR, 0x01), Wr(port::RBCR0, 0x37), Wr(port::CR, 0x0A)});
  return steps;
}

// The bus width from the station PROM, between two pulses of the reset port.
Steps BusWidthRead(const sim::card::PromImage& prom) {
  Steps steps;
  Add(steps, {Rd(port::RESET, 0x00), Wr(port::RESET, 0xFF), Wr(port::CR, 0x21)});
  steps.push_back(Wait(2000us));
  Add(steps, {Rd(port::CR, 0x21), Wr(port::DCR, 0x48), Wr(port::IMR, 0x00), Wr(port::ISR, 0xFF),
              Wr(port::RSAR0, 0x00), Wr(port::RSAR1, 0x00), Wr(port::RBCR0, 0x20),
              Wr(port::RBCR1, 0x00), Wr(port::CR, 0x0A)});
  for (const std::uint8_t byte : prom) {
    Add(steps, {Rd(port::DATA, byte)});
  }
  Add(steps, {Rd(port::RESET, 0x00), Wr(port::RESET, 0xFF)});
  return steps;
}

// The reset for use, its RST seen at the first poll, or at the second when
// the reset port was pulsed just before, and the start in loopback.
Steps ResetForUse(std::uint8_t dcr, bool afterResetPulse = true) {
  Steps steps;
  Add(steps,
      {Wr(port::IMR, 0x00), Wr(port::DCR, dcr), Wr(port::TCR, 0x00), Wr(port::RCR, 0x00),
       Wr(port::ISR, 0xFF), Wr(port::CR, 0x21), Wr(port::RBCR0, 0x00), Wr(port::RBCR1, 0x00)});
  if (afterResetPulse) {
    Add(steps, {Rd(port::ISR, 0x00)});
    steps.push_back(Wait(4us));
  }
  Add(steps, {Rd(port::ISR, 0x80), Wr(port::TCR, 0x02), Wr(port::CR, 0x22)});
  return steps;
}

// The memory search over a card whose memory is [start, end): each block it
// tests is a preparatory read, the pattern written and read back. The start
// block is tested twice, and every fourth byte of the memory once more.
Steps MemorySearch(std::uint32_t start, std::uint32_t end) {
  Steps steps;
  const auto test = [&steps](std::uint32_t address) {
    const auto at = static_cast<std::uint16_t>(address);
    steps.insert(steps.end(), {Moved(at, 2, 0x0A), Moved(at, 4, 0x12), Moved(at, 4, 0x0A)});
  };
  for (std::uint32_t a = 0x400; a <= start; a += 0x400) {
    test(a);
  }
  for (std::uint32_t b = start; b <= end && b < 0x10000; b += 0x400) {
    test(b);
  }
  for (std::uint32_t v = start; v < end; v += 4) {
    test(v);
  }
  return steps;
}

Steps Joined(std::initializer_list<Steps> parts) {
  Steps steps;
  for (const Steps& part : parts) {
    Add(steps, part);
  }
  return steps;
}

const Steps kStop = {P(Wr(port::CR, 0x21))};

// The station address: count, address, a remote read left running, and six
// byte reads.
Steps PromRead() {
  Steps steps;
  Add(steps, {Wr(port::RBCR0, 0x0C), Wr(port::RBCR1, 0x00), Wr(port::RSAR0, 0x00),
              Wr(port::RSAR1, 0x00), Wr(port::CR, 0x0A)});
  for (const std::uint8_t byte : kStation) {
    Add(steps, {Rd(port::DATA, byte)});
  }
  return steps;
}

// The end of initialization: a PHY event bring-up left latched
// acknowledged, then the link refreshed (BMSR's frame, then MIIMR's duplex
// bit on page 3), then the card's interrupt output enabled, each vendor write
// right after a vendor read.
Steps InitializeEnd(std::uint8_t vendorFound, std::uint8_t miimrWritten) {
  Steps steps;
  Add(steps, {Rd(port::VENDOR, vendorFound), Wr(port::VENDOR, 0x02)});
  steps.push_back(kMiiFrame);
  Add(steps,
      {Rd(port::CR, 0x22), Wr(port::CR, 0xC2), Rd(port::MIIMR, 0x0B), Wr(port::MIIMR, miimrWritten),
       Wr(port::CR, 0x22), Rd(port::VENDOR, 0x00), Wr(port::VENDOR, 0x01)});
  return steps;
}

sim::card::CardConfig WordCard(sim::card::MemoryPlacement memory = {}) {
  return {.busWidth = sim::card::BusWidth::Word,
          .memory = memory,
          .prom = sim::card::wordWidePromImage(kStation)};
}

sim::card::CardConfig ByteCard(sim::card::MemoryPlacement memory = {}) {
  return {.busWidth = sim::card::BusWidth::Byte,
          .memory = memory,
          .prom = sim::card::byteWidePromImage(kStation)};
}

// 5 KiB of packet memory at 0x0800: one block below it fails, and the end is
// found at 0x1C00.
constexpr sim::card::MemoryPlacement kSmall{.start = 0x0800, .size = 0x1400};
const sim::card::PromImage kWordProm = sim::card::wordWidePromImage(kStation);
const sim::card::PromImage kByteProm = sim::card::byteWidePromImage(kStation);

INSTANTIATE_TEST_SUITE_P(
    Parts, BringUpSequence,
    ::testing::Values(
        SequenceRow{.name = "ProbeOfTheProbedType",
                    .part = Part::Probe,
                    .card = WordCard(),
                    .steps = kProbe},
        // The card model would answer the probe: only its absence shows.
        SequenceRow{
            .name = "NoProbeOfThePcCard", .part = Part::Probe, .card = WordCard(), .cardType = 1},
        SequenceRow{
            .name = "NoProbeOfFixedMemory", .part = Part::Probe, .card = WordCard(), .cardType = 2},
        SequenceRow{.name = "CardTestWordWide",
                    .part = Part::CardTest,
                    .card = WordCard(kSmall),
                    .steps = Joined({CardReset(), BusWidthRead(kWordProm), ResetForUse(0x49),
                                     MemorySearch(0x0800, 0x1C00), kStop})},
        SequenceRow{.name = "CardTestByteWide",
                    .part = Part::CardTest,
                    .card = ByteCard(kSmall),
                    .steps = Joined({CardReset(), BusWidthRead(kByteProm), ResetForUse(0x48),
                                     MemorySearch(0x0800, 0x1C00), kStop})},
        SequenceRow{.name = "CardTestMicroChannelReadsNoProm",
                    .part = Part::CardTest,
                    .card = WordCard(kSmall),
                    .busType = NdisInterfaceMca,
                    .steps = Joined({CardReset(), ResetForUse(0x49, false),
                                     MemorySearch(0x0800, 0x1C00), kStop})},
        SequenceRow{.name = "CardTestPcCardReadsNoPromAndSearchesNothing",
                    .part = Part::CardTest,
                    .card = WordCard(),
                    .cardType = 1,
                    .steps = Joined({CardReset(), ResetForUse(0x49, false), kStop})},
        SequenceRow{
            .name = "CardTestFixedMemoryIsNotSearched",
            .part = Part::CardTest,
            .card = ByteCard(),
            .cardType = 2,
            .steps = Joined({CardReset(), BusWidthRead(kByteProm), ResetForUse(0x48), kStop})},
        SequenceRow{.name = "StationAddressWordWide",
                    .part = Part::StationAddress,
                    .card = WordCard(),
                    .steps = PromRead()},
        SequenceRow{.name = "StationAddressByteWide",
                    .part = Part::StationAddress,
                    .card = ByteCard(),
                    .steps = PromRead()},
        // From attribute memory, touching no port.
        SequenceRow{.name = "StationAddressOfThePcCard",
                    .part = Part::StationAddress,
                    .card = WordCard(),
                    .cardType = 1},
        // The link came up before the driver did: its PHY event is latched,
        // and the MAC runs full duplex, as bring-up resolved it.
        SequenceRow{.name = "InitializeEndLinkUp",
                    .part = Part::InitializeEnd,
                    .card = WordCard(),
                    .cabled = true,
                    .steps = InitializeEnd(0x02, 0x4B)},
        // No link resolved: the MAC runs half duplex.
        SequenceRow{.name = "InitializeEndNoCable",
                    .part = Part::InitializeEnd,
                    .card = WordCard(),
                    .steps = InitializeEnd(0x00, 0x0B)}),
    [](const auto& row) { return row.param.name; });

// ---------------------------------------------------------------------------
// Halt: the controller stopped and the card's interrupt output turned off
// while the interrupt is still connected; then the interrupt disconnected
// before the 250 ms wait, through which the ports, the list entry and the
// record are still held; then all of them given back.
// (The timer is cancelled before the wait too, but no timer function can run
// inside a handler, so nothing here could tell it from after.)

struct HaltState {
  bool interruptConnected;
  std::size_t portRanges;
  bool listed;
  std::size_t memoryBlocks;
  friend bool operator==(const HaltState&, const HaltState&) = default;
  friend std::ostream& operator<<(std::ostream& out, const HaltState& s) {
    return out << "interrupt " << s.interruptConnected << ", port ranges " << s.portRanges
               << ", listed " << s.listed << ", memory blocks " << s.memoryBlocks;
  }
};

TEST(HaltSequence, StopsThenDisconnectsThenWaitsThenGivesBack) {
  CardWorld world(kFastest);
  world.addCard(WordCard());
  sim::MiniportAdapter& block = world.addAdapter();
  ASSERT_EQ(block.initialize(), NDIS_STATUS_SUCCESS);
  sim::Machine& machine = world.machine();
  const auto now = [&] {
    return HaltState{block.interruptConnected(), machine.ioPortRangesHeld(), AdapterList != nullptr,
                     machine.memoryBlocksHeld()};
  };
  HaltState atLastAccess{};
  world.interposer().setHook(
      [&](std::uint64_t, std::uint16_t, sim::Direction) { atLastAccess = now(); });
  const sim::VirtualTime haltStart = machine.now();
  HaltState midWait{};
  machine.clock().scheduleIn(125ms, [&] { midWait = now(); });
  machine.bus().startTrace();

  block.halt();

  // ISR shows RDC besides RST: bring-up's last remote write completed after
  // the controller start had cleared ISR.
  EXPECT_TRUE(SameSteps(StepsOf(machine.bus().trace()),
                        {P(Wr(port::CR, 0x21)), P(Wr(port::RBCR1, 0x00)), P(Wr(port::RBCR0, 0x00)),
                         P(Rd(port::ISR, 0xC0)), P(Wr(port::TCR, 0x02)), P(Wr(port::CR, 0x22)),
                         P(Rd(port::VENDOR, 0x01)), P(Wr(port::VENDOR, 0x00))}));
  const std::vector<HaltState> states = {atLastAccess, midWait, now()};
  const std::vector<HaltState> expected = {
      {true, 1, true, 1},    // the card is quietened first
      {false, 1, true, 1},   // disconnected, ports and record held through the wait
      {false, 0, false, 0},  // then all given back
  };
  EXPECT_EQ(states, expected);
  EXPECT_EQ(machine.bus().trace().back().time, haltStart) << "halt waited before it stopped";
  EXPECT_EQ(machine.now() - haltStart, 250ms);
}

}  // namespace
}  // namespace kl::test
