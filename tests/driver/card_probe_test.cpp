// The card test on the card model: the bus width read from the station PROM,
// the packet memory found by the pattern search, and the cards that must be
// turned away.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "nic/card_probe.h"
#include "sim/bus/interposer.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"
#include "tests/driver/port_trace.h"

namespace kl::test {
namespace {

using sim::card::BusWidth;
using sim::card::Card;
using sim::card::CardConfig;
using sim::card::CardFaults;
using sim::card::MacAddress;
using sim::card::MemoryPlacement;
using sim::card::PromImage;

constexpr MacAddress kStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};

// A card (or none) at the I/O base behind an interposer, and a record set up
// as bring-up has it when the card test runs.
class ProbeBench {
 public:
  explicit ProbeBench(std::optional<CardConfig> config, UCHAR busType = NdisInterfaceIsa,
                      ULONG cardType = 0) {
    if (config) {
      card_ = std::make_unique<Card>(machine_.clock(), *config);
      interposer_ = std::make_unique<sim::Interposer>(*card_);
      machine_.bus().attach(kIoBase, Card::kPortCount, *interposer_);
    }
    adapter_.IoPort = reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(kIoBase));
    adapter_.MiniportHandle = machine_.addAdapter().handle();
    adapter_.BusType = busType;
    adapter_.CardType = cardType;
    machine_.bus().startTrace();
  }

  [[nodiscard]] Adapter& adapter() { return adapter_; }
  [[nodiscard]] Card& card() { return *card_; }
  [[nodiscard]] sim::Interposer& interposer() { return *interposer_; }
  [[nodiscard]] sim::Machine& machine() { return machine_; }

  // Whether the driver touched the reset port, which it does only to read
  // the station PROM for the bus width.
  [[nodiscard]] bool resetPortTouched() {
    for (const sim::PortAccess& access : machine_.bus().trace()) {
      if (access.offset == port::RESET) {
        return true;
      }
    }
    return false;
  }

  [[nodiscard]] std::optional<Access> lastWrite(std::uint16_t offset) {
    std::optional<Access> last;
    for (const Access& access : Observed(machine_.bus())) {
      if (access.direction == sim::Direction::Write && access.offset == offset) {
        last = access;
      }
    }
    return last;
  }

 private:
  sim::Machine machine_;
  std::unique_ptr<Card> card_;  // its transmitter runs on the machine's clock
  std::unique_ptr<sim::Interposer> interposer_;
  Adapter adapter_{};
};

PromImage Image(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
  PromImage image{};
  for (const auto& [at, value] : bytes) {
    image[at] = value;
  }
  return image;
}

// ---------------------------------------------------------------------------
// DetectBusWidth.

struct WidthCase {
  const char* name;
  PromImage prom;
  UCHAR eightBitBefore;
  bool found;
  UCHAR eightBitAfter;
};

class BusWidthSignature : public ::testing::TestWithParam<WidthCase> {};

TEST_P(BusWidthSignature, DecidesFromBytes16To31) {
  const WidthCase& c = GetParam();
  ProbeBench bench(CardConfig{.busWidth = BusWidth::Word, .prom = c.prom});
  bench.adapter().EightBitMode = c.eightBitBefore;
  EXPECT_EQ(DetectBusWidth(&bench.adapter()) != FALSE, c.found);
  EXPECT_EQ(bench.adapter().EightBitMode, c.eightBitAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Images, BusWidthSignature,
    ::testing::Values(
        WidthCase{"word_wide_card", sim::card::wordWidePromImage(kStation), 1, true, 0},
        WidthCase{"byte_wide_card", sim::card::byteWidePromImage(kStation), 0, true, 1},
        WidthCase{"bb_at_16_and_ww_at_28", Image({{16, 0x42}, {17, 0x42}, {28, 0x57}, {29, 0x57}}),
                  1, true, 0},
        WidthCase{"ww_before_bb", Image({{16, 0x57}, {17, 0x57}, {30, 0x42}, {31, 0x42}}), 1, true,
                  0},
        WidthCase{"bb_at_16", Image({{16, 0x42}, {17, 0x42}}), 0, true, 1},
        WidthCase{"bb_at_30", Image({{30, 0x42}, {31, 0x42}}), 0, true, 1},
        WidthCase{"signatures_in_low_half_only",
                  Image({{2, 0x42}, {3, 0x42}, {14, 0x57}, {15, 0x57}}), 1, false, 1},
        WidthCase{"ww_straddling_15_and_16", Image({{15, 0x57}, {16, 0x57}}), 0, false, 0},
        WidthCase{"mixed_pairs", Image({{20, 0x42}, {21, 0x57}, {24, 0x57}, {25, 0x42}}), 0, false,
                  0},
        WidthCase{"erased_prom", sim::card::erasedPromImage(), 1, false, 1}),
    [](const auto& test) { return std::string(test.param.name); });

struct CrCase {
  const char* name;
  std::optional<std::uint8_t> crReadBack;
  bool found;
};

class BusWidthStopCheck : public ::testing::TestWithParam<CrCase> {};

TEST_P(BusWidthStopCheck, WantsExactly0x21AfterTheStop) {
  const CrCase& c = GetParam();
  ProbeBench bench(
      CardConfig{.busWidth = BusWidth::Byte, .prom = sim::card::byteWidePromImage(kStation)});
  bench.card().faults().crReadBack = c.crReadBack;
  EXPECT_EQ(DetectBusWidth(&bench.adapter()) != FALSE, c.found);
}

INSTANTIATE_TEST_SUITE_P(ReadBacks, BusWidthStopCheck,
                         ::testing::Values(CrCase{"as_the_card_answers", std::nullopt, true},
                                           CrCase{"0x21", 0x21, true}, CrCase{"0x23", 0x23, false},
                                           CrCase{"0x01", 0x01, false},
                                           CrCase{"0xFF", 0xFF, false}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(BusWidth, NoCardAtTheIoBaseHasNoWidth) {
  ProbeBench bench(std::nullopt);
  EXPECT_FALSE(DetectBusWidth(&bench.adapter()));
}

// ---------------------------------------------------------------------------
// CardResetAndTest on the card's variants.

struct VariantCase {
  const char* name;
  CardConfig config;
  UCHAR busType = NdisInterfaceIsa;
  ULONG cardType = 0;
  CardFaults faults{};
  bool passes = true;
  UCHAR eightBitMode = 0;
  ULONG ramStart = 0;
  ULONG ramSize = 0;
  bool promRead = true;
};

CardConfig WordCard(MemoryPlacement memory) {
  return CardConfig{
      .busWidth = BusWidth::Word, .memory = memory, .prom = sim::card::wordWidePromImage(kStation)};
}

CardConfig ByteCard(MemoryPlacement memory) {
  return CardConfig{
      .busWidth = BusWidth::Byte, .memory = memory, .prom = sim::card::byteWidePromImage(kStation)};
}

class CardVariant : public ::testing::TestWithParam<VariantCase> {};

TEST_P(CardVariant, IsTestedAndMeasured) {
  const VariantCase& c = GetParam();
  ProbeBench bench(c.config, c.busType, c.cardType);
  bench.card().faults() = c.faults;
  Adapter& adapter = bench.adapter();
  adapter.EightBitMode = c.eightBitMode ? 0 : 1;  // the test must set it either way

  ASSERT_EQ(CardResetAndTest(&adapter) != FALSE, c.passes);
  EXPECT_EQ(bench.resetPortTouched(), c.promRead);
  const sim::card::Controller& controller = bench.card().controller();
  if (!c.passes) {
    return;
  }
  EXPECT_EQ(adapter.EightBitMode, c.eightBitMode);
  EXPECT_EQ(adapter.RamStart, c.ramStart);
  EXPECT_EQ(adapter.RamSize, c.ramSize);
  // Left stopped in internal loopback, masked, and set for the width found.
  EXPECT_TRUE(controller.stopped());
  EXPECT_EQ(controller.tcr(), 0x02);
  EXPECT_EQ(controller.imr(), 0x00);
  EXPECT_EQ(controller.rcr(), 0x00);
  EXPECT_EQ(controller.dcr(), c.eightBitMode ? 0x48 : 0x49);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, CardVariant,
    ::testing::Values(
        VariantCase{.name = "word_card_16k_at_4000",
                    .config = WordCard({0x4000, 0x4000}),
                    .ramStart = 0x4000,
                    .ramSize = 0x4000},
        VariantCase{.name = "byte_card_16k_at_4000",
                    .config = ByteCard({0x4000, 0x4000}),
                    .eightBitMode = 1,
                    .ramStart = 0x4000,
                    .ramSize = 0x4000},
        VariantCase{.name = "memory_to_the_top",
                    .config = WordCard({0x4000, 0xC000}),
                    .ramStart = 0x4000,
                    .ramSize = 0xBF00},
        VariantCase{.name = "byte_card_memory_to_the_top",
                    .config = ByteCard({0x8000, 0x8000}),
                    .eightBitMode = 1,
                    .ramStart = 0x8000,
                    .ramSize = 0x7F00},
        VariantCase{.name = "memory_from_zero",
                    .config = WordCard({0x0000, 0x4000}),
                    .ramStart = 0x400,
                    .ramSize = 0x3C00},
        VariantCase{.name = "smallest_usable_memory",
                    .config = WordCard({0x2000, 0x1400}),
                    .ramStart = 0x2000,
                    .ramSize = 0x1400},
        VariantCase{
            .name = "memory_too_small", .config = WordCard({0x2000, 0x1000}), .passes = false},
        VariantCase{
            .name = "only_the_top_block", .config = ByteCard({0xFC00, 0x400}), .passes = false},
        VariantCase{.name = "no_memory", .config = WordCard({0x4000, 0}), .passes = false},
        VariantCase{.name = "micro_channel_is_word_wide",
                    .config = WordCard({0x4000, 0x4000}),
                    .busType = NdisInterfaceMca,
                    .ramStart = 0x4000,
                    .ramSize = 0x4000,
                    .promRead = false},
        VariantCase{.name = "pc_card_fixed_memory_untested",
                    .config = CardConfig{.memory = {0x4000, 0x4000}},
                    .cardType = 1,
                    .ramStart = 0x4000,
                    .ramSize = 0x4000,
                    .promRead = false},
        VariantCase{.name = "fixed_memory_type_reads_width",
                    .config = ByteCard({0x8000, 0x2000}),
                    .cardType = 2,
                    .eightBitMode = 1,
                    .ramStart = 0x4000,
                    .ramSize = 0x4000},
        VariantCase{.name = "fixed_memory_type_on_micro_channel",
                    .config = ByteCard({0x4000, 0x4000}),
                    .busType = NdisInterfaceMca,
                    .cardType = 7,
                    .ramStart = 0x4000,
                    .ramSize = 0x4000,
                    .promRead = false},
        VariantCase{.name = "no_signature",
                    .config = CardConfig{.prom = sim::card::erasedPromImage()},
                    .passes = false},
        VariantCase{.name = "never_reports_stopped",
                    .config = WordCard({0x4000, 0x4000}),
                    .faults = {.stoppedStateHidden = true},
                    .passes = false,
                    .promRead = false},
        VariantCase{.name = "memory_cell_reads_back_wrong",
                    .config = WordCard({0x4000, 0x4000}),
                    .faults = {.badCell = 0x5123},
                    .passes = false},
        VariantCase{.name = "rst_never_shows",
                    .config = WordCard({0x4000, 0x4000}),
                    .faults = {.rstHidden = true},
                    .ramStart = 0x4000,
                    .ramSize = 0x4000},
        VariantCase{.name = "cr_reads_0x23",
                    .config = WordCard({0x4000, 0x4000}),
                    .faults = {.crReadBack = 0x23},
                    .passes = false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(CardTest, FailureAfterTheStopCheckEndsWithAStopCommand) {
  ProbeBench bench(WordCard({0x4000, 0}));
  ASSERT_FALSE(CardResetAndTest(&bench.adapter()));
  EXPECT_EQ(bench.lastWrite(port::CR), Wr(port::CR, 0x21));
}

// With STP showing but RST never, the wait for the stopped state after the
// reset for use runs to its bound, and the card is used all the same.
TEST(CardTest, ResetWaitRunsToItsBoundWhenRstNeverShows) {
  ProbeBench bench(WordCard({0x4000, 0x4000}));
  bench.card().faults().rstHidden = true;
  ASSERT_TRUE(CardResetAndTest(&bench.adapter()));

  const std::vector<Access> trace = Observed(bench.machine().bus());
  const std::vector<Access> countCleared = {Wr(port::RBCR0, 0x00), Wr(port::RBCR1, 0x00)};
  const auto cleared =
      std::search(trace.begin(), trace.end(), countCleared.begin(), countCleared.end());
  ASSERT_NE(cleared, trace.end());
  const auto first = cleared + 2;
  const auto polls =
      std::find_if(first, trace.end(), [](const Access& a) { return a.offset != port::ISR; });
  EXPECT_EQ(polls - first, 0x3FFE);
  ASSERT_NE(polls, trace.end());
  EXPECT_EQ(*polls, Wr(port::TCR, 0x02));
}

TEST(CardTest, NoCardAtTheIoBaseIsTurnedAway) {
  ProbeBench bench(std::nullopt);
  EXPECT_FALSE(CardResetAndTest(&bench.adapter()));
}

// Memory that holds the pattern once and then stops answering: the start
// block is tested a second time before the search goes on.
TEST(CardTest, StartBlockThatFailsItsSecondTestIsNoMemory) {
  ProbeBench bench(ByteCard({0x400, 0x4000}));
  bench.adapter().EightBitMode = TRUE;
  unsigned commands = 0;
  bench.interposer().setHook(
      [&](std::uint64_t /*access*/, std::uint16_t offset, sim::Direction direction) {
        // Each pattern test gives three remote-DMA commands: the preparatory
        // read, the write and the read-back. From the fourth on, the second
        // test of the start block, the remote-DMA address never moves again.
        if (offset == port::CR && direction == sim::Direction::Write && ++commands == 4) {
          bench.card().faults().crdaFrozen = true;
        }
      });
  EXPECT_FALSE(FindCardMemory(&bench.adapter()));
  EXPECT_EQ(commands, 4U) << "the search went on past the start block";
}

}  // namespace
}  // namespace kl::test
