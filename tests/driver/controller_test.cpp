// Controller sequences against the scripted port double: the exact register
// accesses the controller's start, stop and restart contracts call for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "nic/controller.h"
#include "tests/driver/sequence_bench.h"

namespace kl::test {
namespace {

using std::chrono::microseconds;
using ::testing::ElementsAreArray;

constexpr std::array<std::uint8_t, 6> kStation = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr std::array<std::uint8_t, 8> kHashFilter = {0x01, 0x80, 0x00, 0x10,
                                                     0xFF, 0x00, 0x42, 0x24};
constexpr ULONG kAllMulticast = 0x04;
constexpr ULONG kDirected = 0x01;
constexpr ULONG kMulticast = 0x02;
constexpr ULONG kBroadcast = 0x08;
constexpr ULONG kPromiscuous = 0x20;

// ---------------------------------------------------------------------------
// ControllerStart: the whole programming sequence.

struct StartRow {
  std::string name;
  UCHAR eightBitMode;
  ULONG packetFilter;
  std::uint8_t dcr;
  bool marAllOnes;
};

class ControllerStartSequence : public ::testing::TestWithParam<StartRow> {};

TEST_P(ControllerStartSequence, ProgramsEveryRegisterInOrder) {
  const StartRow& row = GetParam();
  SequenceBench bench;
  Adapter& adapter = bench.adapter;
  adapter.EightBitMode = row.eightBitMode;
  adapter.PacketFilter = row.packetFilter;
  adapter.RcrValue = 0x0C;
  adapter.NextPacketPage = 0x61;  // somewhere in a ring that held frames
  adapter.CurrentPage = 0x63;
  adapter.Overflowed = TRUE;
  std::copy(kStation.begin(), kStation.end(), adapter.CurrentAddress);
  std::copy(kHashFilter.begin(), kHashFilter.end(), adapter.MulticastFilter);
  bench.ports.script(port::CR, {0x21});

  ASSERT_TRUE(ControllerStart(&adapter));

  std::vector<Access> expected = {
      Wr(port::CR, 0x21),     Rd(port::CR, 0x21),    Wr(port::DCR, row.dcr), Wr(port::RBCR1, 0x00),
      Wr(port::RBCR0, 0x00),  Wr(port::RCR, 0x0C),   Wr(port::TCR, 0x02),    Wr(port::BNRY, 0x4C),
      Wr(port::PSTART, 0x4C), Wr(port::PSTOP, 0x80), Wr(port::ISR, 0xFF),    Wr(port::IMR, 0x1B),
      Wr(port::CR, 0x61),
  };
  for (std::size_t i = 0; i < kStation.size(); ++i) {
    expected.push_back(Wr(port::PAR0 + i, kStation[i]));
  }
  for (std::size_t i = 0; i < kHashFilter.size(); ++i) {
    expected.push_back(Wr(port::MAR0 + i, row.marAllOnes ? 0xFF : kHashFilter[i]));
  }
  Append(expected, {Wr(port::CURR, 0x4D), Wr(port::CR, 0x21), Wr(port::CR, 0x22)});
  EXPECT_THAT(bench.observed(), ElementsAreArray(expected));

  // The ring starts empty: the driver reads from the page CURR names.
  EXPECT_EQ(adapter.CurrentPage, 0x4D);
  EXPECT_EQ(adapter.NextPacketPage, 0x4D);
  EXPECT_EQ(adapter.Overflowed, FALSE);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, ControllerStartSequence,
    ::testing::Values(
        StartRow{"ByteWideDirected", TRUE, kDirected | kBroadcast, 0x48, false},
        StartRow{"WordWideMulticastList", FALSE, kDirected | kMulticast, 0x49, false},
        StartRow{"WordWideAllMulticast", FALSE, kDirected | kAllMulticast, 0x49, true},
        StartRow{"ByteWidePromiscuousAllMulticast", TRUE, kPromiscuous | kAllMulticast, 0x48, true},
        StartRow{"WordWidePromiscuous", FALSE, kPromiscuous, 0x49, true},
        StartRow{"ByteWideNoFilter", TRUE, 0, 0x48, false}),
    [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// ControllerStart: the stop command must be acknowledged by both STP and the
// remote-DMA abort bit.

struct ReadBackRow {
  std::uint8_t cr;
  bool started;
};

class ControllerStartReadBack : public ::testing::TestWithParam<ReadBackRow> {};

TEST_P(ControllerStartReadBack, StartsOnlyWhenStoppedAndAborted) {
  const ReadBackRow& row = GetParam();
  SequenceBench bench;
  bench.adapter.Overflowed = TRUE;
  bench.adapter.NextPacketPage = 0x70;
  bench.ports.script(port::CR, {row.cr});
  const std::vector<std::uint8_t> before = bench.recordBytes();

  EXPECT_EQ(ControllerStart(&bench.adapter), row.started ? TRUE : FALSE);

  const std::vector<Access> trace = bench.observed();
  if (row.started) {
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), Wr(port::CR, 0x22));
  } else {
    EXPECT_THAT(trace, ElementsAreArray({Wr(port::CR, 0x21), Rd(port::CR, row.cr)}));
    EXPECT_EQ(bench.recordBytes(), before) << "a refused start changed the record";
  }
}

INSTANTIATE_TEST_SUITE_P(CrValues, ControllerStartReadBack,
                         ::testing::Values(ReadBackRow{0x01, false}, ReadBackRow{0x20, false},
                                           ReadBackRow{0x22, false}, ReadBackRow{0x00, false},
                                           ReadBackRow{0x21, true}, ReadBackRow{0x23, true},
                                           ReadBackRow{0xFF, false}),
                         [](const auto& test) {
                           return "Cr" + ::testing::PrintToString(int{test.param.cr});
                         });

// ---------------------------------------------------------------------------
// ControllerStop: a bounded wait for the stopped state.

struct StopRow {
  std::string name;
  int isrReadsBeforeRst;  // reads without RST before one with it; -1: never
  int expectedIsrReads;
  microseconds expectedWait;
};

class ControllerStopWait : public ::testing::TestWithParam<StopRow> {};

TEST_P(ControllerStopWait, PollsIsrForResetThenRestartsInLoopback) {
  const StopRow& row = GetParam();
  SequenceBench bench;
  bench.ports.standing(port::ISR, 0x00);
  for (int i = 0; i < row.isrReadsBeforeRst; ++i) {
    bench.ports.script(port::ISR, {0x00});
  }
  if (row.isrReadsBeforeRst >= 0) {
    bench.ports.script(port::ISR, {0x80});
  }
  const std::vector<std::uint8_t> before = bench.recordBytes();

  ControllerStop(&bench.adapter);

  std::vector<Access> expected = {Wr(port::CR, 0x21), Wr(port::RBCR1, 0x00), Wr(port::RBCR0, 0x00)};
  for (int i = 0; i < row.expectedIsrReads; ++i) {
    const bool rst = i == row.isrReadsBeforeRst;
    expected.push_back(Rd(port::ISR, rst ? 0x80 : 0x00));
  }
  Append(expected, {Wr(port::TCR, 0x02), Wr(port::CR, 0x22)});
  EXPECT_THAT(bench.observed(), ElementsAreArray(expected));
  EXPECT_EQ(bench.elapsed(), row.expectedWait);
  // The 500 µs waits fall between the ISR reads, none after a read with RST.
  const auto& trace = bench.machine.bus().trace();
  for (int i = 0; i < row.expectedIsrReads; ++i) {
    EXPECT_EQ(trace[3 + i].time, microseconds(500 * i)) << "ISR read " << i;
  }
  EXPECT_EQ(bench.recordBytes(), before) << "stopping changed the record";
}

INSTANTIATE_TEST_SUITE_P(Rst, ControllerStopWait,
                         ::testing::Values(StopRow{"AtOnce", 0, 1, microseconds(0)},
                                           StopRow{"AtSecondRead", 1, 2, microseconds(500)},
                                           StopRow{"AtLastRead", 3, 4, microseconds(1500)},
                                           StopRow{"Never", -1, 4, microseconds(2000)}),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// ControllerRestart.

struct RestartRow {
  std::string name;
  std::uint8_t crReadBack;
  bool restarted;
};

class ControllerRestartOutcome : public ::testing::TestWithParam<RestartRow> {};

TEST_P(ControllerRestartOutcome, GoesBackOnTheWireOrLogsAHardwareFailure) {
  const RestartRow& row = GetParam();
  SequenceBench bench;
  bench.ports.standing(port::ISR, 0x80);
  bench.ports.script(port::CR, {row.crReadBack});
  // A restart is made only while the interrupt is registered (nothing drives
  // its line here).
  ASSERT_EQ(NdisMRegisterInterrupt(&bench.adapter.Interrupt, bench.adapter.MiniportHandle, 3, 3,
                                   FALSE, FALSE, NdisInterruptLatched),
            NDIS_STATUS_SUCCESS);

  EXPECT_EQ(ControllerRestart(&bench.adapter), row.restarted ? TRUE : FALSE);

  const std::vector<Access> trace = bench.observed();
  // Stop, then 2 ms for the controller to settle before the start's command.
  const std::vector<Access> stop = {Wr(port::CR, 0x21),    Wr(port::RBCR1, 0x00),
                                    Wr(port::RBCR0, 0x00), Rd(port::ISR, 0x80),
                                    Wr(port::TCR, 0x02),   Wr(port::CR, 0x22)};
  ASSERT_GT(trace.size(), stop.size() + 1);
  EXPECT_EQ(std::vector<Access>(trace.begin(), trace.begin() + stop.size()), stop);
  const auto& timed = bench.machine.bus().trace();
  EXPECT_EQ(timed[stop.size()].time - timed[stop.size() - 1].time, microseconds(2000));
  EXPECT_EQ(trace[stop.size()], Wr(port::CR, 0x21));

  const auto log = bench.machine.errorLog();
  if (row.restarted) {
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(trace.back(), Wr(port::TCR, 0x00));
    EXPECT_EQ(trace[trace.size() - 2], Wr(port::CR, 0x22));
  } else {
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].adapter, bench.adapter.MiniportHandle);
    EXPECT_EQ(log[0].code, 0xC000138Au);
    EXPECT_EQ(log[0].values, (std::vector<ULONG>{0, 1}));
    EXPECT_EQ(trace.size(), stop.size() + 2) << "a failed start wrote past its stop command";
    for (const Access& access : trace) {
      EXPECT_NE(access, Wr(port::TCR, 0x00)) << "the failed restart went on the wire";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Start, ControllerRestartOutcome,
                         ::testing::Values(RestartRow{"StartSucceeds", 0x21, true},
                                           RestartRow{"StartFails", 0x22, false}),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// WriteBoundary: BNRY trails the next page to read, wrapping at the ring start.

struct BoundaryRow {
  std::uint8_t first;
  std::uint8_t stop;
  std::uint8_t next;
  std::uint8_t bnry;
};

class WriteBoundaryPage : public ::testing::TestWithParam<BoundaryRow> {};

TEST_P(WriteBoundaryPage, TrailsTheNextPacketByOnePage) {
  const BoundaryRow& row = GetParam();
  SequenceBench bench;
  bench.adapter.RxFirstPage = row.first;
  bench.adapter.RxStopPage = row.stop;
  bench.adapter.NextPacketPage = row.next;

  WriteBoundary(&bench.adapter);

  EXPECT_THAT(bench.observed(), ElementsAreArray({Wr(port::BNRY, row.bnry)}));
}

INSTANTIATE_TEST_SUITE_P(
    Ring, WriteBoundaryPage,
    ::testing::Values(BoundaryRow{0x4C, 0x80, 0x4C, 0x7F},  // at the ring's start
                      BoundaryRow{0x4C, 0x80, 0x4D, 0x4C},  // one page in
                      BoundaryRow{0x4C, 0x80, 0x7F, 0x7E},  // last page
                      BoundaryRow{0xCC, 0x00, 0xCC, 0xFF},  // ring up to the top of 64 KiB
                      BoundaryRow{0xCC, 0x00, 0xFF, 0xFE}));

// ---------------------------------------------------------------------------
// Tally counters.

struct TallyRow {
  std::uint8_t isrAccum;
  bool reads;
};

class TallyCountersOnError : public ::testing::TestWithParam<TallyRow> {};

TEST_P(TallyCountersOnError, ReadsAndAddsTheCountersOnlyAfterAReceiveError) {
  const TallyRow& row = GetParam();
  SequenceBench bench;
  Adapter& adapter = bench.adapter;
  adapter.IsrAccum = row.isrAccum;
  adapter.AlignErrorCount = 0xFFFFFFFF;
  adapter.CrcErrorCount = 10;
  adapter.MissedCount = 0;
  bench.ports.script(port::CNTR0, {0x02});
  bench.ports.script(port::CNTR1, {0x80});
  bench.ports.script(port::CNTR2, {0xFF});

  ReadTallyCountersOnError(&adapter);

  if (row.reads) {
    EXPECT_THAT(bench.observed(), ElementsAreArray({Rd(port::CNTR0, 0x02), Rd(port::CNTR1, 0x80),
                                                    Rd(port::CNTR2, 0xFF)}));
    EXPECT_EQ(adapter.AlignErrorCount, 1u);  // the sum wraps
    EXPECT_EQ(adapter.CrcErrorCount, 138u);
    EXPECT_EQ(adapter.MissedCount, 255u);
  } else {
    EXPECT_TRUE(bench.observed().empty());
    EXPECT_EQ(adapter.AlignErrorCount, 0xFFFFFFFFu);
    EXPECT_EQ(adapter.CrcErrorCount, 10u);
    EXPECT_EQ(adapter.MissedCount, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(IsrAccum, TallyCountersOnError,
                         ::testing::Values(TallyRow{0x04, true}, TallyRow{0x15, true},
                                           TallyRow{0xFF, true}, TallyRow{0x00, false},
                                           TallyRow{0xFB, false}, TallyRow{0x30, false}));

// ---------------------------------------------------------------------------
// Register samples the data path takes.

struct SampleRow {
  std::string name;
  VOID (*operation)(Adapter*);
  std::vector<Access> expected;
  UCHAR Adapter::*field;
  std::uint8_t value;
};

class RegisterSample : public ::testing::TestWithParam<SampleRow> {};

TEST_P(RegisterSample, ReadsTheRegisterIntoItsField) {
  const SampleRow& row = GetParam();
  SequenceBench bench;
  bench.ports.script(port::CURR, {row.value});  // CURR and TSR are not the same offset
  bench.ports.script(port::TSR, {row.value});

  row.operation(&bench.adapter);

  EXPECT_THAT(bench.observed(), ElementsAreArray(row.expected));
  EXPECT_EQ(bench.adapter.*row.field, row.value);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, RegisterSample,
    ::testing::Values(
        SampleRow{"CurrentPage",
                  ReadCurrentPage,
                  {Wr(port::CR, 0x62), Rd(port::CURR, 0x5A), Wr(port::CR, 0x22)},
                  &Adapter::CurrentPage,
                  0x5A},
        SampleRow{
            "TransmitStatus", ReadTransmitStatus, {Rd(port::TSR, 0x03)}, &Adapter::LastTsr, 0x03}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
