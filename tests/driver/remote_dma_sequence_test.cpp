// Remote-DMA transfers against the scripted port double: the set-ups, the
// discarded reads, the port widths and the waits of the remote-DMA protocol.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "nic/remote_dma.h"
#include "tests/driver/sequence_bench.h"

namespace kl::test {
namespace {

using std::chrono::microseconds;
using ::testing::ElementsAreArray;

constexpr std::uint8_t kRemoteRead = 0x0A;
constexpr std::uint8_t kRemoteWrite = 0x12;
constexpr std::uint8_t kRdc = 0x40;
constexpr std::uint8_t kGuard = 0xEE;
constexpr std::size_t kGuardBytes = 4;

// A host buffer with guard bytes on both sides of the `length` bytes in use.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t length) : bytes_(length + 2 * kGuardBytes, kGuard) {}
  [[nodiscard]] PUCHAR data() { return bytes_.data() + kGuardBytes; }
  [[nodiscard]] std::vector<std::uint8_t> inUse() const {
    return {bytes_.begin() + kGuardBytes, bytes_.end() - kGuardBytes};
  }
  [[nodiscard]] bool guardsIntact() const {
    return std::all_of(bytes_.begin(), bytes_.begin() + kGuardBytes,
                       [](std::uint8_t b) { return b == kGuard; }) &&
           std::all_of(bytes_.end() - kGuardBytes, bytes_.end(),
                       [](std::uint8_t b) { return b == kGuard; });
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A bench whose controller completes remote DMA at once and whose CRDA has
// always moved away from where the transfers start.
struct DmaBench : SequenceBench {
  explicit DmaBench(UCHAR eightBitMode) {
    adapter.EightBitMode = eightBitMode;
    ports.standing(port::ISR, kRdc);
    ports.standing(port::CRDA0, 0xFF);
    ports.standing(port::CRDA1, 0xFF);
  }
};

std::vector<Access> Concat(std::initializer_list<std::vector<Access>> parts) {
  std::vector<Access> all;
  for (const auto& part : parts) {
    Append(all, part);
  }
  return all;
}

// The CRDA poll that finds the address moved at its first read.
const std::vector<Access> kAddressMoved = {Rd(port::CRDA0, 0xFF), Rd(port::CRDA1, 0xFF)};
const std::vector<Access> kCompleted = {Rd(port::ISR, kRdc)};

// ---------------------------------------------------------------------------
// A length of 0 touches nothing, in either direction, mode or parity.

struct EmptyRow {
  UCHAR eightBitMode;
  ULONG address;
};

class EmptyTransfer : public ::testing::TestWithParam<EmptyRow> {};

TEST_P(EmptyTransfer, TouchesNoPort) {
  DmaBench bench(GetParam().eightBitMode);
  std::uint8_t byte = kGuard;

  EXPECT_EQ(DmaReadFromCard(&bench.adapter, &byte, GetParam().address, 0), TRUE);
  EXPECT_EQ(DmaWriteToCard(&bench.adapter, GetParam().address, &byte, 0), TRUE);

  EXPECT_TRUE(bench.observed().empty());
  EXPECT_EQ(byte, kGuard);
}

INSTANTIATE_TEST_SUITE_P(ModesAndParities, EmptyTransfer,
                         ::testing::Values(EmptyRow{TRUE, 0x4000}, EmptyRow{TRUE, 0x4001},
                                           EmptyRow{FALSE, 0x4000}, EmptyRow{FALSE, 0x4001}));

// ---------------------------------------------------------------------------
// Reads.

struct ReadRow {
  std::string name;
  UCHAR eightBitMode;
  ULONG address;
  std::vector<std::uint8_t> dataBytes;   // byte-wide data-port answers
  std::vector<std::uint16_t> dataWords;  // word-wide data-port answers
  std::vector<Access> expected;
  std::vector<std::uint8_t> delivered;
};

class ReadSequence : public ::testing::TestWithParam<ReadRow> {};

TEST_P(ReadSequence, MovesTheBytesWithTheExpectedCycles) {
  const ReadRow& row = GetParam();
  DmaBench bench(row.eightBitMode);
  for (const std::uint8_t b : row.dataBytes) {
    bench.ports.script(port::DATA, {b});
  }
  for (const std::uint16_t w : row.dataWords) {
    bench.ports.scriptWords(port::DATA, {w});
  }
  GuardedBuffer buffer(row.delivered.size());

  EXPECT_EQ(DmaReadFromCard(&bench.adapter, buffer.data(), row.address,
                            static_cast<ULONG>(row.delivered.size())),
            TRUE);

  EXPECT_THAT(bench.observed(), ElementsAreArray(row.expected));
  EXPECT_EQ(buffer.inUse(), row.delivered);
  EXPECT_TRUE(buffer.guardsIntact()) << "a byte was stored outside the destination";
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ReadSequence,
    ::testing::Values(
        ReadRow{"ByteModeOddAddress",
                TRUE,
                0x4001,
                {0x11, 0x22, 0x33},
                {},
                Concat({{Rd(port::CR, 0x00)},
                        RemoteDmaSetup(0x4001, 3, kRemoteRead),
                        {Rd16(port::CR, 0), Rd16(port::CR, 0), RdString(1, 3, 0x11)},
                        kCompleted}),
                {0x11, 0x22, 0x33}},
        // The head byte is the high half of the word below it; the main part
        // is then set up with a count of 0 and moves nothing.
        ReadRow{"WordModeOneByteAtOddAddress",
                FALSE,
                0x4001,
                {},
                {0xBBAA},
                Concat({{Rd(port::CR, 0x00)},
                        RemoteDmaSetup(0x4000, 2, kRemoteRead),
                        {Rd16(port::CR, 0), Rd16(port::CR, 0), Rd16(port::DATA, 0xBBAA)},
                        kCompleted,
                        RemoteDmaSetup(0x4002, 0, kRemoteRead),
                        kCompleted}),
                {0xBB}},
        ReadRow{"WordModeOddAddressOddRest",
                FALSE,
                0x4001,
                {},
                {0xBBAA, 0x2211, 0x4433},
                Concat({{Rd(port::CR, 0x00)},
                        RemoteDmaSetup(0x4000, 2, kRemoteRead),
                        {Rd16(port::CR, 0), Rd16(port::CR, 0), Rd16(port::DATA, 0xBBAA)},
                        kCompleted,
                        RemoteDmaSetup(0x4002, 4, kRemoteRead),
                        {RdString(2, 1, 0x2211), Rd16(port::DATA, 0x4433)},
                        kCompleted}),
                {0xBB, 0x11, 0x22, 0x33}},
        // An odd length from an even address: the count is rounded up to whole
        // words and only the low byte of the last word is kept.
        ReadRow{"WordModeEvenAddressOddLength",
                FALSE,
                0x4000,
                {},
                {0x2211, 0x4433, 0x6655},
                Concat({{Rd(port::CR, 0x00)},
                        RemoteDmaSetup(0x4000, 6, kRemoteRead),
                        {RdString(2, 2, 0x2211), Rd16(port::DATA, 0x6655)},
                        kCompleted}),
                {0x11, 0x22, 0x33, 0x44, 0x55}},
        ReadRow{"WordModeEvenAddressOneByte",
                FALSE,
                0x4000,
                {},
                {0x2211},
                Concat({{Rd(port::CR, 0x00)},
                        RemoteDmaSetup(0x4000, 2, kRemoteRead),
                        {Rd16(port::DATA, 0x2211)},
                        kCompleted}),
                {0x11}},
        ReadRow{"WordModeEvenAddressEvenLength",
                FALSE,
                0x4000,
                {},
                {0x2211, 0x4433},
                Concat({{Rd(port::CR, 0x00)},
                        RemoteDmaSetup(0x4000, 4, kRemoteRead),
                        {RdString(2, 2, 0x2211)},
                        kCompleted}),
                {0x11, 0x22, 0x33, 0x44}}),
    [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// Writes.

struct WriteRow {
  std::string name;
  UCHAR eightBitMode;
  ULONG address;
  std::vector<std::uint8_t> source;
  std::vector<std::uint16_t> dataWords;  // word-wide data-port answers
  std::vector<Access> expected;
};

class WriteSequence : public ::testing::TestWithParam<WriteRow> {};

TEST_P(WriteSequence, PreparesWithAReadThenWrites) {
  const WriteRow& row = GetParam();
  DmaBench bench(row.eightBitMode);
  for (const std::uint16_t w : row.dataWords) {
    bench.ports.scriptWords(port::DATA, {w});
  }

  EXPECT_EQ(DmaWriteToCard(&bench.adapter, row.address, row.source.data(),
                           static_cast<ULONG>(row.source.size())),
            TRUE);

  EXPECT_THAT(bench.observed(), ElementsAreArray(row.expected));
}

INSTANTIATE_TEST_SUITE_P(EdgeCases, WriteSequence,
                         ::testing::Values(
                             // Byte mode at an odd address: the preparatory read starts at the next
                             // even address, the write at the address given.
                             WriteRow{"ByteModeOddAddress",
                                      TRUE,
                                      0x4001,
                                      {0x11, 0x22, 0x33},
                                      {},
                                      Concat({RemoteDmaSetup(0x4002, 2, kRemoteRead),
                                              {Rd(port::DATA, 0), Rd(port::DATA, 0)},
                                              kAddressMoved,
                                              RemoteDmaSetup(0x4001, 3, kRemoteWrite),
                                              {WrString(1, 3, 0x11)},
                                              kCompleted})},
                             WriteRow{"ByteModeEvenAddress",
                                      TRUE,
                                      0x4000,
                                      {0x11, 0x22},
                                      {},
                                      Concat({RemoteDmaSetup(0x4000, 2, kRemoteRead),
                                              {Rd(port::DATA, 0), Rd(port::DATA, 0)},
                                              kAddressMoved,
                                              RemoteDmaSetup(0x4000, 2, kRemoteWrite),
                                              {WrString(1, 2, 0x11)},
                                              kCompleted})},
                             // Word mode at an odd address: the byte below is read first and
                             // written back unchanged beside the first source byte.
                             WriteRow{"WordModeOddAddress",
                                      FALSE,
                                      0x4001,
                                      {0x11, 0x22, 0x33},
                                      {0xBBAA},
                                      Concat({RemoteDmaSetup(0x4000, 2, kRemoteRead),
                                              {Rd16(port::DATA, 0xBBAA)},
                                              RemoteDmaSetup(0x4002, 2, kRemoteRead),
                                              {Rd16(port::DATA, 0)},
                                              kAddressMoved,
                                              RemoteDmaSetup(0x4000, 2, kRemoteWrite),
                                              {Wr16(port::DATA, 0x11AA)},
                                              kCompleted,
                                              RemoteDmaSetup(0x4002, 2, kRemoteRead),
                                              {Rd16(port::DATA, 0)},
                                              kAddressMoved,
                                              RemoteDmaSetup(0x4002, 2, kRemoteWrite),
                                              {WrString(2, 1, 0x3322)},
                                              kCompleted})},
                             WriteRow{"WordModeOneByteAtOddAddress",
                                      FALSE,
                                      0x40FF,
                                      {0x11},
                                      {0xBBAA},
                                      Concat({RemoteDmaSetup(0x40FE, 2, kRemoteRead),
                                              {Rd16(port::DATA, 0xBBAA)},
                                              RemoteDmaSetup(0x4100, 2, kRemoteRead),
                                              {Rd16(port::DATA, 0)},
                                              kAddressMoved,
                                              RemoteDmaSetup(0x40FE, 2, kRemoteWrite),
                                              {Wr16(port::DATA, 0x11AA)},
                                              kCompleted,
                                              RemoteDmaSetup(0x4100, 2, kRemoteRead),
                                              {Rd16(port::DATA, 0)},
                                              kAddressMoved,
                                              RemoteDmaSetup(0x4100, 0, kRemoteWrite),
                                              kCompleted})},
                             // Word mode with an odd length: the count stays odd and the last word
                             // carries the last byte low and 0x00 high.
                             WriteRow{"WordModeEvenAddressOddLength",
                                      FALSE,
                                      0x4000,
                                      {0x11, 0x22, 0x33},
                                      {},
                                      Concat({RemoteDmaSetup(0x4000, 2, kRemoteRead),
                                              {Rd16(port::DATA, 0)},
                                              kAddressMoved,
                                              RemoteDmaSetup(0x4000, 3, kRemoteWrite),
                                              {WrString(2, 1, 0x2211), Wr16(port::DATA, 0x0033)},
                                              kCompleted})},
                             WriteRow{"WordModeEvenAddressOneByte",
                                      FALSE,
                                      0x4000,
                                      {0xC3},
                                      {},
                                      Concat({RemoteDmaSetup(0x4000, 2, kRemoteRead),
                                              {Rd16(port::DATA, 0)},
                                              kAddressMoved,
                                              RemoteDmaSetup(0x4000, 1, kRemoteWrite),
                                              {Wr16(port::DATA, 0x00C3)},
                                              kCompleted})}),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// The completion wait: RDC polled every 4 µs, at most 65535 times, never
// acknowledged by the transfer.

struct CompletionRow {
  std::string name;
  int readsWithoutRdc;  // -1: RDC never comes
  std::size_t isrReads;
  microseconds waited;
};

class CompletionWait : public ::testing::TestWithParam<CompletionRow> {};

TEST_P(CompletionWait, EndsAtTheFirstIsrReadWithRdc) {
  const CompletionRow& row = GetParam();
  DmaBench bench(TRUE);
  bench.ports.standing(port::ISR, row.readsWithoutRdc < 0 ? 0x00 : kRdc);
  for (int i = 0; i < row.readsWithoutRdc; ++i) {
    bench.ports.script(port::ISR, {0x00});
  }
  std::uint8_t byte = 0;

  EXPECT_EQ(DmaReadFromCard(&bench.adapter, &byte, 0x4000, 1), TRUE);

  std::size_t isrReads = 0;
  for (const Access& access : bench.observed()) {
    EXPECT_FALSE(access.direction == sim::Direction::Write && access.offset == port::ISR)
        << "the transfer acknowledged an interrupt status bit";
    isrReads += access.direction == sim::Direction::Read && access.offset == port::ISR ? 1 : 0;
  }
  EXPECT_EQ(isrReads, row.isrReads);
  EXPECT_EQ(bench.elapsed(), row.waited);
}

INSTANTIATE_TEST_SUITE_P(Rdc, CompletionWait,
                         ::testing::Values(CompletionRow{"AlreadySet", 0, 1, microseconds(0)},
                                           CompletionRow{"AtThirdRead", 2, 3, microseconds(8)},
                                           CompletionRow{"Never", -1, 65535,
                                                         microseconds(65535 * 4)}),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// The address poll before a write: CRDA polled every 1 µs, at most 65535
// times; a write is only given once the address has moved.

struct PollRow {
  std::string name;
  UCHAR eightBitMode;
  ULONG address;
  std::uint16_t preparedAt;  // where the preparatory read starts
  int pollsUnmoved;          // -1: never moves
  std::size_t polls;
  microseconds waited;
  bool written;
};

class AddressPoll : public ::testing::TestWithParam<PollRow> {};

TEST_P(AddressPoll, WritesOnlyOnceTheAddressHasMoved) {
  const PollRow& row = GetParam();
  DmaBench bench(row.eightBitMode);
  const auto low = static_cast<std::uint8_t>(row.preparedAt);
  const auto high = static_cast<std::uint8_t>(row.preparedAt >> 8);
  const std::uint8_t movedLow = static_cast<std::uint8_t>(low + 2);
  bench.ports.standing(port::CRDA0, row.pollsUnmoved < 0 ? low : movedLow);
  bench.ports.standing(port::CRDA1, high);
  for (int i = 0; i < row.pollsUnmoved; ++i) {
    bench.ports.script(port::CRDA0, {low});
  }
  const std::vector<std::uint8_t> source = {0x11, 0x22, 0x33, 0x44};

  EXPECT_EQ(DmaWriteToCard(&bench.adapter, row.address, source.data(), 4),
            row.written ? TRUE : FALSE);

  std::size_t crda0Reads = 0;
  std::size_t crda1Reads = 0;
  std::size_t writeCommands = 0;
  std::size_t dataWrites = 0;
  for (const Access& access : bench.observed()) {
    const bool read = access.direction == sim::Direction::Read;
    crda0Reads += read && access.offset == port::CRDA0 ? 1 : 0;
    crda1Reads += read && access.offset == port::CRDA1 ? 1 : 0;
    writeCommands += access == Wr(port::CR, kRemoteWrite) ? 1 : 0;
    dataWrites += !read && access.offset == port::DATA ? 1 : 0;
  }
  EXPECT_EQ(crda0Reads, row.polls);
  EXPECT_EQ(crda1Reads, row.polls);
  EXPECT_EQ(bench.elapsed(), row.waited);
  EXPECT_EQ(writeCommands, row.written ? 1u : 0u);
  EXPECT_EQ(dataWrites, row.written ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Crda, AddressPoll,
                         ::testing::Values(PollRow{"MovedAtOnce", TRUE, 0x4000, 0x4000, 0, 1,
                                                   microseconds(0), true},
                                           PollRow{"MovedAtThirdPoll", TRUE, 0x4000, 0x4000, 2, 3,
                                                   microseconds(2), true},
                                           PollRow{"NeverMovesByteMode", TRUE, 0x4001, 0x4002, -1,
                                                   65535, microseconds(65535), false},
                                           // The odd head's poll fails before anything is written.
                                           PollRow{"NeverMovesWordModeOddHead", FALSE, 0x4001,
                                                   0x4002, -1, 65535, microseconds(65535), false}),
                         [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
