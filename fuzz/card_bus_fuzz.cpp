// The card model driven from the bus side with arbitrary port sequences: any
// register on any page, byte, word and string cycles at every offset the card
// decodes and past it, time passing, and frames arriving from the far end of
// its cable. Whatever the registers hold (PSTART at or past PSTOP, a ring of
// no pages, remote DMA running past the memory, TXP with a count past the
// memory, no memory at all), the card must not crash, hang or touch memory
// outside its own; AddressSanitizer and libFuzzer's time-out watch for that.
//
// Input: one byte choosing the bus width and the memory placement, then
// operations of an opcode byte and the bytes it takes.
#include <array>
#include <cstddef>
#include <cstdint>
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

void runFor(Clock& clock, Duration duration) {
  const auto until = clock.now() + duration;
  while (clock.fireNextDue(until)) {
  }
  clock.moveTo(until);
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
        runFor(clock, std::chrono::microseconds(input.ConsumeIntegral<std::uint16_t>()));
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
  }
  runFor(clock, std::chrono::milliseconds(2));
  return 0;
}
