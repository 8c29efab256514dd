// Remote-DMA round trips through the card model: bytes written to card memory
// read back intact in both bus widths, at every start parity, without
// touching a byte outside the range on either side.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "nic/controller.h"
#include "nic/remote_dma.h"
#include "sim/bus/interposer.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"
#include "tests/driver/port_trace.h"

namespace kl::test {
namespace {

using sim::card::BusWidth;
using sim::card::Card;
using sim::card::CardConfig;

// Packet memory: 16 KiB at 0x4000; the receive ring behind 12 transmit pages.
constexpr std::uint32_t kRamStart = 0x4000;
constexpr std::uint32_t kRamEnd = 0x8000;
constexpr std::size_t kGuardBytes = 8;
constexpr std::size_t kMaxFrame = 1514;

// A card of the given width at the I/O base, started by the driver so that
// its data configuration matches the bus width.
class CardBench {
 public:
  explicit CardBench(BusWidth width) : card_(machine_.clock(), CardConfig{.busWidth = width}) {
    machine_.bus().attach(kIoBase, Card::kPortCount, interposer_);
    adapter_.IoPort = reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(kIoBase));
    adapter_.MiniportHandle = machine_.addAdapter().handle();
    adapter_.EightBitMode = width == BusWidth::Byte ? TRUE : FALSE;
    adapter_.RxFirstPage = 0x4C;
    adapter_.RxStopPage = 0x80;
    adapter_.ImrValue = 0x1B;
    if (!ControllerStart(&adapter_)) {
      ADD_FAILURE() << "the card model refused to start";
    }
  }

  [[nodiscard]] Adapter* adapter() { return &adapter_; }
  [[nodiscard]] Card& card() { return card_; }
  [[nodiscard]] sim::Machine& machine() { return machine_; }
  [[nodiscard]] sim::Interposer& interposer() { return interposer_; }

  // Fills card memory from `from` to `to` with a pattern: `background(a)`.
  template <class Pattern>
  void fill(std::uint32_t from, std::uint32_t to, Pattern background) {
    for (std::uint32_t a = from; a < to; ++a) {
      card_.memory().write(a, background(a));
    }
  }

 private:
  sim::Machine machine_;
  Card card_;  // its transmitter runs on the machine's clock
  sim::Interposer interposer_{card_};
  Adapter adapter_{};
};

// Two backgrounds that differ in every byte: a stray store is caught in at
// least one of them whatever value it stores.
std::uint8_t Background(std::uint32_t address, bool inverted) {
  const auto b = static_cast<std::uint8_t>(address * 37u + (address >> 8) * 11u + 5u);
  return inverted ? static_cast<std::uint8_t>(~b) : b;
}

// Writes `data` at `address`, reads it back into a guarded buffer, and checks
// the bytes, the host guards and the card memory around the range, once over
// each of the two backgrounds.
void RoundTrip(BusWidth width, std::uint32_t address, const std::vector<std::uint8_t>& data) {
  for (const bool inverted : {false, true}) {
    SCOPED_TRACE(inverted ? "inverted background" : "plain background");
    CardBench bench(width);
    const auto background = [inverted](std::uint32_t a) { return Background(a, inverted); };
    bench.fill(kRamStart, kRamEnd, background);
    const auto length = static_cast<ULONG>(data.size());

    ASSERT_EQ(DmaWriteToCard(bench.adapter(), address, data.data(), length), TRUE);

    std::vector<std::uint8_t> host(data.size() + 2 * kGuardBytes);
    // The two guard values are neither equal nor complements, so no store
    // (of a constant, a source byte or a card byte) matches the guard in both
    // runs.
    const std::uint8_t guard = inverted ? 0x55 : 0x5A;
    std::fill(host.begin(), host.end(), guard);
    ASSERT_EQ(DmaReadFromCard(bench.adapter(), host.data() + kGuardBytes, address, length), TRUE);

    const std::vector<std::uint8_t> readBack(host.begin() + kGuardBytes, host.end() - kGuardBytes);
    EXPECT_EQ(readBack, data) << "bytes changed on the way through card memory";
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
      EXPECT_EQ(host[i], guard) << "stored " << kGuardBytes - i << " bytes before the buffer";
      EXPECT_EQ(host[host.size() - 1 - i], guard)
          << "stored " << kGuardBytes - i << " bytes past the buffer";
    }
    for (std::uint32_t a = kRamStart; a < kRamEnd; ++a) {
      if (a >= address && a < address + length) {
        continue;
      }
      const std::uint8_t actual = bench.card().memory().read(a);
      if (actual != background(a)) {
        ADD_FAILURE() << "card byte 0x" << std::hex << a << " outside the written range changed";
        break;
      }
    }
  }
}

std::string Hex(std::uint32_t value) {
  std::ostringstream text;
  text << std::hex << std::uppercase << value;
  return text.str();
}

std::vector<std::uint8_t> Bytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<std::uint8_t> data(length);
  for (auto& b : data) {
    b = static_cast<std::uint8_t>(byte(random));
  }
  return data;
}

// ---------------------------------------------------------------------------
// A table of lengths at both start parities, in both bus widths, and ranges
// up to the end of packet memory.

struct RoundTripRow {
  BusWidth width;
  std::uint32_t address;
  std::size_t length;
};

class RoundTripThroughCard : public ::testing::TestWithParam<RoundTripRow> {};

TEST_P(RoundTripThroughCard, BytesArriveIntactAndNothingElseChanges) {
  const RoundTripRow& row = GetParam();
  RoundTrip(row.width, row.address, Bytes(row.length, static_cast<std::uint32_t>(row.length)));
}

std::vector<RoundTripRow> RoundTripRows() {
  std::vector<RoundTripRow> rows;
  for (const BusWidth width : {BusWidth::Byte, BusWidth::Word}) {
    for (const std::uint32_t address : {0x4C00u, 0x4C01u, 0x5002u, 0x5003u}) {
      for (const std::size_t length :
           {0u, 1u, 2u, 3u, 4u, 5u, 14u, 59u, 60u, 255u, 256u, 257u, 1513u, 1514u}) {
        rows.push_back({width, address, length});
      }
    }
    // Ranges that end on the last byte of packet memory, at both parities.
    for (const std::size_t length : {1u, 5u, 6u, 60u}) {
      rows.push_back({width, kRamEnd - static_cast<std::uint32_t>(length), length});
    }
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Lengths, RoundTripThroughCard, ::testing::ValuesIn(RoundTripRows()),
                         [](const auto& test) {
                           const RoundTripRow& row = test.param;
                           return std::string(row.width == BusWidth::Byte ? "Byte" : "Word") +
                                  "At" + Hex(row.address) + "Length" + std::to_string(row.length);
                         });

// ---------------------------------------------------------------------------
// A seeded sweep of start addresses and lengths.

class RoundTripSweep : public ::testing::TestWithParam<BusWidth> {};

TEST_P(RoundTripSweep, RandomRangesArriveIntact) {
  constexpr std::uint32_t kSeed = 0x7046;
  constexpr int kRanges = 40;
  std::mt19937 random(kSeed);
  std::uniform_int_distribution<std::size_t> lengths(0, kMaxFrame);
  for (int i = 0; i < kRanges && !HasFailure(); ++i) {
    const std::size_t length = lengths(random);
    std::uniform_int_distribution<std::uint32_t> addresses(
        kRamStart + kGuardBytes, kRamEnd - static_cast<std::uint32_t>(length) - kGuardBytes);
    const std::uint32_t address = addresses(random);
    SCOPED_TRACE("seed " + std::to_string(kSeed) + ", range " + std::to_string(i) + ": address " +
                 std::to_string(address) + ", length " + std::to_string(length));
    RoundTrip(GetParam(), address, Bytes(length, random()));
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, RoundTripSweep, ::testing::Values(BusWidth::Byte, BusWidth::Word),
                         [](const auto& test) {
                           return std::string(test.param == BusWidth::Byte ? "Byte" : "Word");
                         });

// ---------------------------------------------------------------------------
// A controller whose remote-DMA address never moves.

class FrozenAddress : public ::testing::TestWithParam<BusWidth> {};

TEST_P(FrozenAddress, WriteGivesUpAfterExactlyTheFullPoll) {
  CardBench bench(GetParam());
  bench.card().faults().crdaFrozen = true;
  const std::vector<std::uint8_t> data = {0x11, 0x22, 0x33, 0x44};
  bench.machine().bus().startTrace();
  const auto start = bench.machine().now();

  EXPECT_EQ(DmaWriteToCard(bench.adapter(), 0x4C00, data.data(), 4), FALSE);

  std::size_t crda0Reads = 0;
  std::size_t crda1Reads = 0;
  for (const Access& access : Observed(bench.machine().bus())) {
    EXPECT_FALSE(access.direction == sim::Direction::Write && access.offset == port::DATA)
        << "data reached the card although its address never moved";
    if (access.direction == sim::Direction::Read) {
      crda0Reads += access.offset == port::CRDA0 ? 1 : 0;
      crda1Reads += access.offset == port::CRDA1 ? 1 : 0;
    }
  }
  EXPECT_EQ(crda0Reads, 65535u);
  EXPECT_EQ(crda1Reads, 65535u);
  EXPECT_EQ(bench.machine().now() - start, std::chrono::microseconds(65535));
}

INSTANTIATE_TEST_SUITE_P(Widths, FrozenAddress, ::testing::Values(BusWidth::Byte, BusWidth::Word),
                         [](const auto& test) {
                           return std::string(test.param == BusWidth::Byte ? "Byte" : "Word");
                         });

// ---------------------------------------------------------------------------
// A card pulled from its socket at each port access of a transfer: the
// transfer reports failure, and the first status read that shows the card
// gone is the driver's last access to it.

struct PullRow {
  std::string name;
  BusWidth width;
  bool write;
  std::uint32_t address;
  std::size_t length;
};

void PrintTo(const PullRow& row, std::ostream* out) { *out << row.name; }

// Makes the transfer with the card pulled at access `pullAt` (none if past
// the end); returns the number of accesses the transfer made in all.
std::uint64_t PulledTransfer(const PullRow& row, std::uint64_t pullAt) {
  CardBench bench(row.width);
  Card& card = bench.card();
  std::optional<std::uint64_t> lastLook;
  std::uint64_t made = 0;
  bench.interposer().setHook([&](std::uint64_t access, std::uint16_t offset, sim::Direction d) {
    made = access + 1;
    card.faults().removed = card.faults().removed || access == pullAt;
    if (!lastLook && card.faults().removed && offset == port::ISR && d == sim::Direction::Read) {
      lastLook = access;
    }
  });
  std::vector<std::uint8_t> data = Bytes(row.length, 19);
  const auto length = static_cast<ULONG>(row.length);
  const BOOLEAN done = row.write
                           ? DmaWriteToCard(bench.adapter(), row.address, data.data(), length)
                           : DmaReadFromCard(bench.adapter(), data.data(), row.address, length);
  EXPECT_EQ(done, card.faults().removed ? FALSE : TRUE);
  if (lastLook) {
    EXPECT_EQ(made, *lastLook + 1) << "accesses after the status read that showed the card gone";
  }
  return made;
}

class CardPulledMidTransfer : public ::testing::TestWithParam<PullRow> {};

TEST_P(CardPulledMidTransfer, FailsAndStopsAtTheStatusThatShowsItGone) {
  const std::uint64_t accesses = PulledTransfer(GetParam(), ~std::uint64_t{0});
  for (std::uint64_t pullAt = 0; pullAt < accesses; ++pullAt) {
    SCOPED_TRACE("pulled at access " + std::to_string(pullAt));
    PulledTransfer(GetParam(), pullAt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, CardPulledMidTransfer,
    ::testing::Values(PullRow{"WordReadFromAnOddAddress", BusWidth::Word, false, 0x4C01, 7},
                      PullRow{"WordWriteToAnOddAddress", BusWidth::Word, true, 0x4C01, 7},
                      PullRow{"WordReadFromAnEvenAddress", BusWidth::Word, false, 0x4C00, 7},
                      PullRow{"WordWriteToAnEvenAddress", BusWidth::Word, true, 0x4C00, 7},
                      PullRow{"ByteRead", BusWidth::Byte, false, 0x4C01, 7},
                      PullRow{"ByteWrite", BusWidth::Byte, true, 0x4C01, 7}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
