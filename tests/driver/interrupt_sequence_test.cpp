// The interrupt handlers' register sequences against the scripted port
// double: how the card is masked and unmasked, which interrupts are claimed,
// and how the service loop ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/miniport_handlers.h"
#include "tests/driver/sequence_bench.h"

namespace kl::test {
namespace {

using ::testing::ElementsAreArray;

struct IsrRow {
  std::string name;
  std::uint8_t isr;
  std::uint8_t vendor;
  bool claimed;
};

class IsrSequence : public ::testing::TestWithParam<IsrRow> {};

TEST_P(IsrSequence, MasksRecordsAndClaimsOnlyTheCardsOwnCauses) {
  const IsrRow& row = GetParam();
  SequenceBench bench;
  bench.adapter.IsrAccum = 0x40;  // replaced, not added to
  bench.ports.script(port::ISR, {row.isr});
  bench.ports.script(port::VENDOR, {row.vendor, row.vendor});

  BOOLEAN recognized = 0xAA;
  BOOLEAN queue = 0xAA;
  MiniportISR(&recognized, &queue, &bench.adapter);

  std::vector<Access> expected = {Wr(port::IMR, 0x00), Rd(port::ISR, row.isr),
                                  Rd(port::VENDOR, row.vendor),
                                  Wr(port::VENDOR, static_cast<std::uint8_t>(row.vendor & 0xFE))};
  if (!row.claimed) {
    // Nothing else will unmask the card for an interrupt that is not ours.
    Append(expected, {Wr(port::IMR, 0x1B), Rd(port::VENDOR, row.vendor),
                      Wr(port::VENDOR, static_cast<std::uint8_t>(row.vendor | 0x01))});
  }
  EXPECT_THAT(bench.observed(), ElementsAreArray(expected));
  EXPECT_EQ(recognized, row.claimed ? TRUE : FALSE);
  EXPECT_EQ(queue, recognized);
  EXPECT_EQ(bench.adapter.IsrAccum, row.isr);
  EXPECT_EQ(bench.adapter.VendorStatus, row.vendor);
}

INSTANTIATE_TEST_SUITE_P(Causes, IsrSequence,
                         ::testing::Values(IsrRow{"ReceivedAndTransmitted", 0x03, 0x01, true},
                                           IsrRow{"OverflowAndTransmitted", 0x12, 0x01, true},
                                           IsrRow{"TransmitError", 0x08, 0x01, true},
                                           IsrRow{"CounterAloneIsNotOurs", 0x20, 0x01, false},
                                           IsrRow{"ReceiveErrorAloneIsNotOurs", 0x04, 0x01, false},
                                           IsrRow{"RemoteDmaAndStoppedAreNotOurs", 0xC0, 0x01,
                                                  false},
                                           IsrRow{"PhyEventWithNoStatus", 0x00, 0x03, true},
                                           IsrRow{"Spurious", 0x00, 0x01, false}),
                         [](const auto& test) { return test.param.name; });

TEST(InterruptMaskSequence, DisableMasksBothGatesAndKeepsThePhyEvent) {
  SequenceBench bench;
  bench.ports.script(port::VENDOR, {0x03});

  MiniportDisableInterrupt(&bench.adapter);

  EXPECT_THAT(bench.observed(), ElementsAreArray({Wr(port::IMR, 0x00), Rd(port::VENDOR, 0x03),
                                                  Wr(port::VENDOR, 0x02)}));
  EXPECT_EQ(bench.adapter.VendorStatus, 0x03);
}

TEST(InterruptMaskSequence, EnableUnmasksBothGates) {
  SequenceBench bench;
  bench.ports.script(port::VENDOR, {0x00});

  MiniportEnableInterrupt(&bench.adapter);

  EXPECT_THAT(bench.observed(), ElementsAreArray({Wr(port::IMR, 0x1B), Rd(port::VENDOR, 0x00),
                                                  Wr(port::VENDOR, 0x01)}));
  EXPECT_EQ(bench.adapter.VendorStatus, 0x00);
}

// ---------------------------------------------------------------------------
// The service loop's ends.

TEST(HandleInterruptSequence, CardGoneOnTheFirstReadChangesNothing) {
  SequenceBench bench;
  bench.adapter.IsrAccum = 0x01;
  bench.adapter.VendorStatus = 0x01;
  bench.ports.script(port::ISR, {0xFF});

  MiniportHandleInterrupt(&bench.adapter);

  EXPECT_THAT(bench.observed(), ElementsAreArray({Rd(port::ISR, 0xFF)}));
  EXPECT_EQ(bench.adapter.IsrAccum, 0x01);
}

TEST(HandleInterruptSequence, CardGoneInTheMiddleOfTheLoopEndsIt) {
  SequenceBench bench;
  bench.adapter.IsrAccum = 0x40;
  bench.adapter.VendorStatus = 0x01;
  bench.ports.script(port::ISR, {0x20, 0xFF});
  bench.ports.script(port::CNTR0, {3});
  bench.ports.script(port::CNTR1, {4});
  bench.ports.script(port::CNTR2, {5});

  MiniportHandleInterrupt(&bench.adapter);

  EXPECT_THAT(bench.observed(),
              ElementsAreArray({Rd(port::ISR, 0x20), Wr(port::ISR, 0x20), Rd(port::CNTR0, 3),
                                Rd(port::CNTR1, 4), Rd(port::CNTR2, 5), Rd(port::ISR, 0xFF)}));
  EXPECT_EQ(bench.adapter.IsrAccum, 0x40) << "a read of a card that is gone was taken as causes";
  EXPECT_EQ(bench.adapter.AlignErrorCount, 3u);
  EXPECT_EQ(bench.adapter.CrcErrorCount, 4u);
  EXPECT_EQ(bench.adapter.MissedCount, 5u);
}

// RXE never interrupts by itself; it is seen beside the PRX of the frame
// after the damaged one. The pass that follows clears both, so the tallies
// are read before it: the CRC error is in the statistics at once.
TEST(HandleInterruptSequence, ReceiveErrorBesideAFrameReadsTheTalliesBeforeThePass) {
  SequenceBench bench;
  bench.adapter.VendorStatus = 0x01;
  // Offset 0x07 is ISR on page 0 and CURR on page 1: ISR, then CURR twice
  // (an empty ring), then ISR again.
  bench.ports.script(port::ISR, {0x05, kRxFirstPage + 1, kRxFirstPage + 1, 0x00});
  bench.ports.script(port::CNTR0, {0});
  bench.ports.script(port::CNTR1, {1});
  bench.ports.script(port::CNTR2, {0});

  MiniportHandleInterrupt(&bench.adapter);

  EXPECT_THAT(bench.observed(),
              ElementsAreArray({Rd(port::ISR, 0x05), Wr(port::ISR, 0x05), Rd(port::CNTR0, 0),
                                Rd(port::CNTR1, 1), Rd(port::CNTR2, 0), Wr(port::CR, 0x62),
                                Rd(port::CURR, kRxFirstPage + 1), Wr(port::CR, 0x22),
                                Wr(port::CR, 0x62), Rd(port::CURR, kRxFirstPage + 1),
                                Wr(port::CR, 0x22), Rd(port::ISR, 0x00)}));
  EXPECT_EQ(bench.adapter.CrcErrorCount, 1u);
  EXPECT_EQ(bench.adapter.IsrAccum, 0x00);
}

TEST(HandleInterruptSequence, NothingPendingReadsIsrOnceAndReturns) {
  SequenceBench bench;
  bench.adapter.VendorStatus = 0x01;
  bench.ports.script(port::ISR, {0x00});

  MiniportHandleInterrupt(&bench.adapter);

  EXPECT_THAT(bench.observed(), ElementsAreArray({Rd(port::ISR, 0x00)}));
}

TEST(HandleInterruptSequence, LeftoverRemoteDmaAndStoppedBitsCauseNothing) {
  SequenceBench bench;
  bench.adapter.VendorStatus = 0x01;
  bench.ports.script(port::ISR, {0xC0, 0x00});

  MiniportHandleInterrupt(&bench.adapter);

  EXPECT_THAT(bench.observed(), ElementsAreArray({Rd(port::ISR, 0xC0), Wr(port::ISR, 0xC0)}));
  EXPECT_EQ(bench.adapter.IsrAccum, 0xC0);
}

}  // namespace
}  // namespace kl::test
