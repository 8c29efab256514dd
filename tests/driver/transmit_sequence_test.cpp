// The transmit path's register sequences against the scripted port double:
// the packet copy's one remote write with its pairing of bytes across
// buffers, the transmit command, and the restart after an aborted
// transmission.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "datapath/transmit.h"
#include "sim/host/packet.h"
#include "tests/driver/sequence_bench.h"

namespace kl::test {
namespace {

using std::chrono::microseconds;
using ::testing::ElementsAreArray;

using Pieces = std::vector<std::vector<std::uint8_t>>;

// The port double answers CRDA with an address that has moved (transmit
// buffers start on page boundaries, so their low byte is 0) and ISR with RDC.
void AnswerAsALiveCard(SequenceBench& bench) {
  bench.ports.standing(port::CRDA0, 0x02);
  bench.ports.standing(port::ISR, 0x40);
  bench.adapter.TxAreaStart = 0x4000;
  bench.adapter.TxStartPage = 0x40;
}

std::uint16_t Word(std::uint8_t low, std::uint8_t high) {
  return static_cast<std::uint16_t>(low | (high << 8));
}

// The preparatory read, the address poll that sees the address move, the
// acknowledgement of a stale RDC and the write's set-up.
std::vector<Access> CopyPrologue(std::uint16_t address, std::uint16_t count, bool byteMode) {
  std::vector<Access> expected = RemoteDmaSetup(address, 2, 0x0A);
  if (byteMode) {
    Append(expected, {Rd(port::DATA, 0x00), Rd(port::DATA, 0x00)});
  } else {
    expected.push_back(Rd16(port::DATA, 0x0000));
  }
  Append(expected, {Rd(port::CRDA0, 0x02), Rd(port::CRDA1, 0x00), Wr(port::ISR, 0x40)});
  Append(expected, RemoteDmaSetup(address, count, 0x12));
  return expected;
}

struct CopyRow {
  std::string name;
  bool byteMode;
  ULONG cardType;
  Pieces pieces;
  // The data-port writes after the set-up, before the completion wait.
  std::vector<Access> writes;
};

class CopyPacketSequence : public ::testing::TestWithParam<CopyRow> {};

TEST_P(CopyPacketSequence, WritesTheChainAsOneTransferAndAwaitsItsEndOnce) {
  const CopyRow& row = GetParam();
  SequenceBench bench;
  AnswerAsALiveCard(bench);
  bench.adapter.EightBitMode = row.byteMode ? TRUE : FALSE;
  bench.adapter.CardType = row.cardType;
  bench.adapter.NextTxFill = 3;
  const auto packet = sim::Packet::fromPieces(row.pieces);
  const auto total = static_cast<std::uint16_t>(packet->bytes().size());

  ULONG length = 0;
  ASSERT_TRUE(CopyPacketToCard(&bench.adapter, &packet->ndis(), &length));

  std::vector<Access> expected = CopyPrologue(0x4300, total, row.byteMode);
  Append(expected, row.writes);
  expected.push_back(Rd(port::ISR, 0x40));
  EXPECT_THAT(bench.observed(), ElementsAreArray(expected));
  EXPECT_EQ(length, total);
}

// 61 bytes 0x00, 0x01, ..., 0x3C.
std::vector<std::uint8_t> Counting(std::size_t length, std::uint8_t first = 0) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(first + i);
  }
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Chains, CopyPacketSequence,
    ::testing::Values(
        // Word mode pairs the odd bytes across buffers: (b0,b1), (b2,c0),
        // (d0,d1), with no byte cycle.
        CopyRow{"WordModeThreeOneTwo",
                false,
                0,
                Pieces{{0xB0, 0xB1, 0xB2}, {0xC0}, {0xD0, 0xD1}},
                {WrString(2, 1, Word(0xB0, 0xB1)), Wr16(port::DATA, Word(0xB2, 0xC0)),
                 WrString(2, 1, Word(0xD0, 0xD1))}},
        CopyRow{"WordModeOddLastByteAsWordOnThePcCard",
                false,
                1,
                Pieces{Counting(61)},
                {WrString(2, 30, Word(0x00, 0x01)), Wr16(port::DATA, 0x003C)}},
        CopyRow{"WordModeOddLastByteAsByteElsewhere",
                false,
                0,
                Pieces{Counting(61)},
                {WrString(2, 30, Word(0x00, 0x01)), Wr(port::DATA, 0x3C)}},
        CopyRow{"WordModeLeadingEmptyBuffersSkipped",
                false,
                0,
                Pieces{{}, {}, {0x10, 0x11, 0x12, 0x13}, {}, {0x14, 0x15}},
                {WrString(2, 2, Word(0x10, 0x11)), WrString(2, 1, Word(0x14, 0x15))}},
        CopyRow{"WordModeOneByteBuffersPairUp",
                false,
                0,
                Pieces{{0xA0}, {0xA1}, {0xA2}},
                {Wr16(port::DATA, Word(0xA0, 0xA1)), Wr(port::DATA, 0xA2)}},
        CopyRow{"ByteModeOneStringPerBuffer",
                true,
                0,
                Pieces{{}, {0xB0, 0xB1, 0xB2}, {0xC0}, {0xD0, 0xD1}},
                {WrString(1, 3, 0xB0), WrString(1, 1, 0xC0), WrString(1, 2, 0xD0)}}),
    [](const auto& test) { return test.param.name; });

TEST(CopyPacketSequence, AddressThatNeverMovesIsLoggedAndNothingIsWritten) {
  SequenceBench bench;
  AnswerAsALiveCard(bench);
  bench.ports.standing(port::CRDA0, 0x00);
  bench.ports.standing(port::CRDA1, 0x47);
  bench.adapter.NextTxFill = 7;
  const auto packet = sim::Packet::fromBytes(Counting(100));
  ULONG length = 0xDEAD;

  EXPECT_FALSE(CopyPacketToCard(&bench.adapter, &packet->ndis(), &length));

  const std::vector<Access> observed = bench.observed();
  ASSERT_EQ(observed.size(), 6u + 2u * 65535u);
  for (std::size_t i = 6; i < observed.size(); i += 2) {
    ASSERT_EQ(observed[i], Rd(port::CRDA0, 0x00));
    ASSERT_EQ(observed[i + 1], Rd(port::CRDA1, 0x47));
  }
  EXPECT_EQ(bench.elapsed(), microseconds(65535));
  EXPECT_EQ(length, 0xDEADu) << "a failed copy stored a length";
  ASSERT_EQ(bench.machine.errorLog().size(), 1u);
  EXPECT_EQ(bench.machine.errorLog()[0].code, 0xC000138Au);
  EXPECT_EQ(bench.machine.errorLog()[0].values, (std::vector<ULONG>{1, 0x4700}));
}

// ---------------------------------------------------------------------------
// StartTransmit.

struct StartRow {
  std::string name;
  ULONG length;
  std::uint8_t tbcr1;
  std::uint8_t tbcr0;
};

class StartTransmitSequence : public ::testing::TestWithParam<StartRow> {};

TEST_P(StartTransmitSequence, LoadsPageAndCountHighByteFirstThenCommands) {
  const StartRow& row = GetParam();
  SequenceBench bench;
  AnswerAsALiveCard(bench);
  bench.adapter.CurrentTx = 5;
  bench.adapter.TxBufferLength[5] = row.length;
  bench.ports.standing(port::CR, 0x22);

  StartTransmit(&bench.adapter);

  EXPECT_THAT(bench.observed(), ElementsAreArray({Wr(port::TPSR, 0x45), Wr(port::TBCR1, row.tbcr1),
                                                  Wr(port::TBCR0, row.tbcr0), Rd(port::CR, 0x22),
                                                  Wr(port::CR, 0x26)}));
}

INSTANTIATE_TEST_SUITE_P(Lengths, StartTransmitSequence,
                         ::testing::Values(StartRow{"ShortIsPaddedTo60", 59, 0x00, 0x3C},
                                           StartRow{"Sixty", 60, 0x00, 0x3C},
                                           StartRow{"Sixtyone", 61, 0x00, 0x3D},
                                           StartRow{"TwoPages", 257, 0x01, 0x01},
                                           StartRow{"Longest", 1514, 0x05, 0xEA}),
                         [](const auto& test) { return test.param.name; });

TEST(StartTransmitSequence, PageSumWrapsAtEightBits) {
  SequenceBench bench;
  bench.adapter.TxStartPage = 0xF8;
  bench.adapter.CurrentTx = 11;
  bench.adapter.TxBufferLength[11] = 100;

  StartTransmit(&bench.adapter);

  EXPECT_EQ(bench.observed().front(), Wr(port::TPSR, 0x03));
}

// ---------------------------------------------------------------------------
// TransmitErrorRestart and a completion with nothing current.

class TransmitErrorRestartSequence : public ::testing::TestWithParam<LONG> {};

TEST_P(TransmitErrorRestartSequence, RestartsTheControllerAndSendsTheSameBufferAgain) {
  const LONG current = GetParam();
  SequenceBench bench;
  AnswerAsALiveCard(bench);
  bench.ports.standing(port::CR, 0x22);
  bench.adapter.CurrentTx = current;
  bench.adapter.NextTxSend = current == -1 ? 0 : static_cast<ULONG>(current);
  bench.adapter.TxBufferLength[2] = 1000;
  bench.adapter.TxBufferState[2] = kTxBufferFull;

  TransmitErrorRestart(&bench.adapter);

  std::vector<Access> expected = {Wr(port::ISR, 0x08), Wr(port::CR, 0x21), Wr(port::TCR, 0x02),
                                  Wr(port::CR, 0x22), Wr(port::TCR, 0x00)};
  if (current != -1) {
    Append(expected, {Wr(port::TPSR, 0x42), Wr(port::TBCR1, 0x03), Wr(port::TBCR0, 0xE8),
                      Rd(port::CR, 0x22), Wr(port::CR, 0x26)});
  }
  EXPECT_THAT(bench.observed(), ElementsAreArray(expected));
  EXPECT_EQ(bench.elapsed(), microseconds(2000));
  EXPECT_EQ(bench.adapter.TxPending, current != -1 ? TRUE : FALSE);
  EXPECT_EQ(bench.adapter.TxBufferState[2], kTxBufferFull) << "the aborted frame was dropped";
  EXPECT_EQ(bench.adapter.TxGoodCount + bench.adapter.TxBadCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(Current, TransmitErrorRestartSequence, ::testing::Values(-1, 2),
                         [](const auto& test) {
                           return test.param == -1 ? std::string("Idle") : std::string("Busy");
                         });

TEST(TransmitCompleteSequence, NothingCurrentIsLoggedAndTouchesNothing) {
  SequenceBench bench;
  bench.adapter.CurrentTx = -1;
  bench.adapter.TxBufferState[0] = kTxBufferFull;
  const std::vector<std::uint8_t> before = bench.recordBytes();

  TransmitComplete(&bench.adapter);

  EXPECT_TRUE(bench.observed().empty());
  EXPECT_EQ(bench.recordBytes(), before);
  ASSERT_EQ(bench.machine.errorLog().size(), 1u);
  EXPECT_EQ(bench.machine.errorLog()[0].code, 0xC000138Du);
  EXPECT_EQ(bench.machine.errorLog()[0].values, std::vector<ULONG>{4});
}

}  // namespace
}  // namespace kl::test
