// The card model driven from the bus side with arbitrary port sequences: any
// register on any page, byte, word and string cycles at every offset the card
// decodes and past it, time passing, and frames arriving from the far end of
// its cable. Whatever the registers hold (PSTART at or past PSTOP, a ring of
// no pages, remote DMA running past the memory, TXP with a count past the
// memory, no memory at all), the card must not crash, hang or touch memory
// outside its own; AddressSanitizer and libFuzzer's time-out watch for that.
// And the model keeps its own rules after every operation: the receiver
// stores inside PSTART..PSTOP and leaves CURR there, a tally counter only
// goes down when the host reads it, and the interrupt line is asserted
// exactly when ISR & IMR (or a PHY event) says so with the output enabled.
//
// Input: one byte choosing the bus width and the memory placement, then
// operations of an opcode byte and the bytes it takes.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "sim/card/card.h"
#include "sim/core/clock.h"
#include "sim/net/cable.h"
#include "sim/net/ethernet.h"
#include "sim/net/frame_endpoint.h"

namespace {

using kl::sim::Clock;
using kl::sim::Duration;
using kl::sim::card::BusWidth;
using kl::sim::card::Card;
using kl::sim::card::CardConfig;
using kl::sim::card::MemoryPlacement;
using kl::sim::net::Cable;

// Placements at the edges of the card's address space, and none at all.
constexpr std::array<MemoryPlacement, 8> kPlacements = {{{0x4000, 0x4000},
                                                         {0x4000, 0},
                                                         {0x0000, 0x10000},
                                                         {0xFF00, 0x100},
                                                         {0x0000, 0x400},
                                                         {0xC000, 0x4000},
                                                         {0x8000, 0x2000},
                                                         {0x0400, 0x1400}}};
// Offsets past the card's 32 ports reach nothing, and must reach nothing.
constexpr std::uint8_t kOffsetMask = 0x3F;
constexpr std::size_t kLongestString = 2048;
constexpr std::size_t kLongestFrame = 1600;

void check(bool holds, std::string_view what) {
  if (!holds) {
    std::fprintf(stderr, "broken: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
  }
}

constexpr std::array<kl::sim::card::Tally, 3> kTallies = {kl::sim::card::Tally::FrameAlignment,
                                                          kl::sim::card::Tally::Crc,
                                                          kl::sim::card::Tally::MissedFrame};

std::array<std::uint8_t, 3> tallies(const Card& card) {
  std::array<std::uint8_t, 3> counts{};
  for (std::size_t i = 0; i < kTallies.size(); ++i) {
    counts[i] = card.controller().tallyCount(kTallies[i]);
  }
  return counts;
}

// The rules that hold after any operation. `hostRead`: the operation read
// registers, which may have cleared a tally counter.
void checkModel(const Card& card, const std::array<std::uint8_t, 3>& before, bool hostRead) {
  const kl::sim::card::Controller& controller = card.controller();
  const bool wanted = (controller.isr() & controller.imr()) != 0 || card.vendor().phyEventPending();
  check(card.interruptAsserted() == (card.vendor().interruptOutputEnabled() && wanted),
        "the interrupt line disagrees with ISR & IMR");
  if (!hostRead) {
    const std::array<std::uint8_t, 3> after = tallies(card);
    for (std::size_t i = 0; i < after.size(); ++i) {
      check(after[i] >= before[i], "a tally counter went down without being read");
    }
  }
}

// Time passes, in which only the receiver stores: with a ring set up,
// nothing outside it changes, and a CURR it moved stays inside it.
void runFor(Clock& clock, Card& card, Duration duration) {
  const kl::sim::card::Controller& controller = card.controller();
  const std::uint32_t ringStart = controller.pstart() * kl::sim::card::CardMemory::kPageSize;
  const std::uint32_t ringStop = controller.pstop() * kl::sim::card::CardMemory::kPageSize;
  const kl::sim::card::MemoryPlacement ram = card.memory().placement();
  std::vector<std::uint8_t> before(ram.size);
  card.memory().read(ram.start, before);
  const std::uint8_t curr = controller.curr();
  kl::sim::runUntil(clock, clock.now() + duration);
  std::vector<std::uint8_t> after(before.size());
  card.memory().read(ram.start, after);
  // The RAM below the ring and above it, as offsets into the copies.
  const auto offset = [&](std::uint32_t address) {
    return static_cast<std::ptrdiff_t>(std::clamp(address, ram.start, ram.start + ram.size) -
                                       ram.start);
  };
  // The rules bind a controller set up as a host sets one up: a ring of
  // some pages with CURR inside it; otherwise the receiver goes where the
  // registers send it, as the controller does.
  const bool ring = controller.pstart() < controller.pstop() && curr >= controller.pstart() &&
                    curr < controller.pstop() && ringStop <= ram.start + ram.size;
  check(
      std::equal(before.begin(), before.begin() + offset(ring ? ringStart : ram.start + ram.size),
                 after.begin()) &&
          std::equal(before.begin() + offset(ring ? ringStop : ram.start + ram.size), before.end(),
                     after.begin() + offset(ring ? ringStop : ram.start + ram.size)),
      "the receiver stored outside PSTART..PSTOP");
  check(!ring || controller.curr() == curr ||
            (controller.curr() >= controller.pstart() && controller.curr() < controller.pstop()),
        "the receiver left CURR outside the ring");
}

enum Operation : std::uint8_t {
  kRead8,
  kWrite8,
  kRead16,
  kWrite16,
  kReadString8,
  kWriteString8,
  kReadString16,
  kWriteString16,
  kTimePasses,
  kFrameArrives,
  kOperationCount
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto setup = input.ConsumeIntegral<std::uint8_t>();
  Clock clock;
  Cable cable(clock);
  Card card(clock, CardConfig{.busWidth = (setup & 1) != 0 ? BusWidth::Byte : BusWidth::Word,
                              .memory = kPlacements[(setup >> 1) % kPlacements.size()]});
  kl::sim::net::FrameEndpoint far(cable.end(Cable::Side::B), clock);
  card.plugInto(cable.end(Cable::Side::A));

  while (input.remaining_bytes() != 0) {
    const std::array<std::uint8_t, 3> talliesBefore = tallies(card);
    const auto operation =
        static_cast<Operation>(input.ConsumeIntegralInRange<int>(0, kOperationCount - 1));
    const auto offset =
        static_cast<std::uint16_t>(input.ConsumeIntegral<std::uint8_t>() & kOffsetMask);
    switch (operation) {
      case kRead8:
        (void)card.read8(offset);
        break;
      case kWrite8:
        card.write8(offset, input.ConsumeIntegral<std::uint8_t>());
        break;
      case kRead16:
        (void)card.read16(offset);
        break;
      case kWrite16:
        card.write16(offset, input.ConsumeIntegral<std::uint16_t>());
        break;
      case kReadString8:
      case kReadString16: {
        std::vector<std::uint8_t> bytes(
            input.ConsumeIntegralInRange<std::size_t>(0, kLongestString - 1));
        if (operation == kReadString8) {
          card.readString8(offset, bytes);
        } else {
          card.readString16(offset, bytes);
        }
        break;
      }
      case kWriteString8:
      case kWriteString16: {
        const std::vector<std::uint8_t> bytes =
            input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegral<std::uint8_t>());
        if (operation == kWriteString8) {
          card.writeString8(offset, bytes);
        } else {
          card.writeString16(offset, bytes);
        }
        break;
      }
      case kTimePasses:
        runFor(clock, card, std::chrono::microseconds(input.ConsumeIntegral<std::uint16_t>()));
        break;
      case kFrameArrives: {
        std::vector<std::uint8_t> frame = input.ConsumeBytes<std::uint8_t>(
            input.ConsumeIntegralInRange<std::size_t>(0, kLongestFrame - 1));
        // Mostly good frames, some with whatever FCS the input gives.
        if ((offset & 1) == 0) {
          frame = kl::sim::net::withFcs(frame);
        }
        far.sendRaw(kl::sim::net::WireFrame{std::move(frame)});
        break;
      }
      case kOperationCount:
        break;
    }
    checkModel(card, talliesBefore,
               operation == kRead8 || operation == kRead16 || operation == kReadString8 ||
                   operation == kReadString16);
  }
  runFor(clock, card, std::chrono::milliseconds(2));
  return 0;
}
