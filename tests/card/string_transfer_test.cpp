// String transfers on the data port move a whole buffer in one call; they
// must leave the card exactly as the same number of single cycles would:
// the same bytes delivered and stored, CRDA, count, RDC, ring wrap, count
// exhaustion and a frozen address included.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "sim/card/card.h"

namespace kl::sim::card::test {
namespace {

constexpr std::uint32_t kBaseSeed = 0x7046;
constexpr int kScenarios = 1500;
constexpr int kOperationsPerScenario = 10;

class Scenario {
 public:
  explicit Scenario(std::uint32_t seed) : random_(seed) {}

  CardConfig config() {
    static const std::vector<MemoryPlacement> kPlacements = {
        {0x4000, 0x4000}, {0x0000, 0x10000}, {0x4000, 0xC000}, {0x0400, 0x0C00}};
    PromImage prom{};
    for (std::uint8_t& byte : prom) {
      byte = byteValue();
    }
    return CardConfig{.busWidth = pick(2) == 0 ? BusWidth::Byte : BusWidth::Word,
                      .memory = kPlacements[pick(kPlacements.size())],
                      .prom = prom};
  }

  std::vector<std::uint8_t> bytes(std::size_t length) {
    std::vector<std::uint8_t> result(length);
    for (std::uint8_t& byte : result) {
      byte = byteValue();
    }
    return result;
  }

  std::size_t pick(std::size_t choices) {
    return std::uniform_int_distribution<std::size_t>(0, choices - 1)(random_);
  }
  std::uint8_t byteValue() { return static_cast<std::uint8_t>(pick(256)); }

 private:
  std::mt19937 random_;
};

// The same accesses go to two identical cards: `fast` takes each string in
// one call, `reference` through the bus's default of one cycle at a time.
struct CardPair {
  explicit CardPair(const CardConfig& config) : fast(clock, config), reference(clock, config) {}

  template <typename Action>
  void both(Action action) {
    action(fast);
    action(reference);
  }

  Clock clock;
  Card fast;
  Card reference;
};

void expectSameState(const Card& fast, const Card& reference) {
  const RemoteDma& a = fast.controller().remoteDma();
  const RemoteDma& b = reference.controller().remoteDma();
  EXPECT_EQ(a.currentAddress(), b.currentAddress());
  EXPECT_EQ(a.remainingCount(), b.remainingCount());
  EXPECT_EQ(a.active(), b.active());
  EXPECT_EQ(fast.controller().isr(), reference.controller().isr());
}

void stringTransfer(CardPair& cards, Scenario& scenario) {
  static const std::vector<std::uint16_t> kOffsets = {0x10, 0x10, 0x10, 0x11, 0x16, 0x17};
  const std::uint16_t offset = kOffsets[scenario.pick(kOffsets.size())];
  const std::size_t length = scenario.pick(48);
  const std::size_t kind = scenario.pick(4);
  SCOPED_TRACE("string kind " + std::to_string(kind) + " at offset " + std::to_string(offset) +
               ", " + std::to_string(length) + " bytes");
  if (kind < 2) {
    const std::vector<std::uint8_t> initial = scenario.bytes(length);
    std::vector<std::uint8_t> fast = initial;
    std::vector<std::uint8_t> reference = initial;
    if (kind == 0) {
      cards.fast.readString8(offset, fast);
      cards.reference.IoDevice::readString8(offset, reference);
    } else {
      cards.fast.readString16(offset, fast);
      cards.reference.IoDevice::readString16(offset, reference);
    }
    EXPECT_EQ(fast, reference);
  } else {
    const std::vector<std::uint8_t> data = scenario.bytes(length);
    if (kind == 2) {
      cards.fast.writeString8(offset, data);
      cards.reference.IoDevice::writeString8(offset, data);
    } else {
      cards.fast.writeString16(offset, data);
      cards.reference.IoDevice::writeString16(offset, data);
    }
  }
}

void setUp(CardPair& cards, Scenario& scenario) {
  // Near the ring's end often, so that transfers cross it.
  const std::uint16_t address =
      scenario.pick(2) == 0
          ? static_cast<std::uint16_t>(std::size_t{cards.fast.controller().pstop()} * 256 -
                                       scenario.pick(64))
          : static_cast<std::uint16_t>(scenario.pick(0x10000));
  const auto count = static_cast<std::uint16_t>(scenario.pick(80));
  const std::uint8_t command = scenario.pick(2) == 0 ? cr::kRemoteRead : cr::kRemoteWrite;
  cards.both([&](Card& card) { setUpRemoteDma(card, address, count, command); });
}

TEST(StringTransfers, EqualRepeatedSingleCycles) {
  for (int n = 0; n < kScenarios; ++n) {
    const std::uint32_t seed = kBaseSeed + static_cast<std::uint32_t>(n);
    SCOPED_TRACE("seed " + std::to_string(seed));
    Scenario scenario(seed);
    CardPair cards(scenario.config());

    const MemoryPlacement placement = cards.fast.memory().placement();
    const std::vector<std::uint8_t> ram = scenario.bytes(placement.size);
    const std::uint8_t dcr = scenario.pick(2) == 0 ? kDcrByteWide : kDcrWordWide;
    // A real ring most of the time; sometimes PSTART at or past PSTOP.
    const auto pstart = static_cast<std::uint8_t>(0x40 + scenario.pick(0x20));
    const auto pstop = static_cast<std::uint8_t>(
        scenario.pick(4) == 0 ? pstart - scenario.pick(2) : pstart + 1 + scenario.pick(0x60));
    const bool frozen = scenario.pick(8) == 0;
    cards.both([&](Card& card) {
      card.memory().write(placement.start, ram);
      startController(card, dcr);
      setRing(card, pstart, pstop);
      card.faults().crdaFrozen = frozen;
    });

    for (int op = 0; op < kOperationsPerScenario; ++op) {
      switch (scenario.pick(6)) {
        case 0:
          setUp(cards, scenario);
          break;
        case 1:
          cards.both([](Card& card) { card.write8(port::ISR, isr::kRdc); });
          break;
        default:
          stringTransfer(cards, scenario);
          break;
      }
      expectSameState(cards.fast, cards.reference);
    }
    ASSERT_EQ(snapshot(cards.fast.memory()), snapshot(cards.reference.memory()));
    if (HasFailure()) {
      return;
    }
  }
}

}  // namespace
}  // namespace kl::sim::card::test
