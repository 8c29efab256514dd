// The receive path with a ring read from any page on: frames stored there as
// the controller stores them, then arbitrary bytes, CURR anywhere after the
// frames (or, now and then, anywhere at all), any lookahead size and frame
// budget left, on both bus widths, and a protocol that asks for
// transfer-data of arbitrary offset and length into buffer chains of
// arbitrary shape.
//
// What must hold for every input: every stored frame is indicated exactly
// once, in order, before anything else, and the driver reads on to CURR;
// each indication lies between the page reading started at and CURR and
// shows bytes that lie in the ring where its header says the frame starts,
// with a length the header claims and the driver accepts; no frame is
// indicated twice; transfer-data copies exactly the frame's bytes from the
// offset asked for, clipped to the frame, and fails only for an offset past
// its end.
//
// Input: the bus width, the frame budget already used, the lookahead, the
// transfer requests (offset, length and chain shape each), the page reading
// starts at, the frames (length, group or individual, contents), how far
// past them CURR lies, then the bytes after the frames.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/adapter_on_card.h"
#include "sim/host/packet.h"
#include "sim/host/protocol.h"

namespace {

using kl::fuzz::check;

constexpr std::uint32_t kPageSize = 256;
constexpr std::size_t kEthernetHeader = 14;
constexpr std::uint8_t kIsrPrx = 0x01;
constexpr std::uint16_t kBnry = 0x03;  // page 0, where the driver leaves the card
constexpr std::size_t kMostRequests = 4;
constexpr std::size_t kMostPieces = 4;
constexpr std::size_t kMostFrames = 12;
constexpr ULONG kFrameBudget = 10;  // frames a receive pass takes before it lets others run
// The controller's receive status: PRX, and PHY for a group destination.
constexpr std::uint8_t kRsrPrx = 0x01;
constexpr std::uint8_t kRsrPhy = 0x20;
constexpr std::uint32_t kHeaderLength = 4;
constexpr std::uint32_t kFcsLength = 4;

struct TransferRequest {
  UINT offset;
  UINT length;
  std::vector<UINT> pieces;  // the destination chain's buffer lengths
};

// Card bytes from `address` on, following the ring from its end to its start.
std::vector<std::uint8_t> ringBytes(kl::sim::card::Card& card, const Adapter& record,
                                    std::uint32_t address, std::size_t count) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (address >= record.RxAreaEnd) {
      address = record.RxAreaStart;
    }
    bytes.push_back(card.memory().read(address++));
  }
  return bytes;
}

class CheckingProtocol final : public kl::sim::Protocol {
 public:
  CheckingProtocol(kl::fuzz::AdaptersOnCards& world, kl::sim::card::BusWidth width)
      : world_(world), width_(width) {}

  std::vector<TransferRequest> requests;

  // Where each indicated frame's data starts and how long it is, in order.
  std::vector<std::pair<ULONG, ULONG>> indications;

  // Reading starts at card address `from`; CURR is `curr` bytes on.
  void start(ULONG from, ULONG curr) {
    indicated_.clear();
    indications.clear();
    next_ = 0;
    from_ = from;
    curr_ = curr;
  }

  void sendComplete(kl::sim::MiniportAdapter&, NDIS_PACKET&, NDIS_STATUS) override {
    kl::fuzz::fail("a send completed that was never made");
  }

  void receive(kl::sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> lookahead, UINT packetSize) override {
    const Adapter& record = world_.record(width_);
    const ULONG length = record.RxPacketLength;
    check(header.size() == kEthernetHeader, "header of the wrong size");
    check(length >= 60 && length <= 1514, "a frame length outside 60..1514");
    check(packetSize + kEthernetHeader == length, "packet size is not the frame's");
    check(lookahead.size() <= record.Lookahead, "more lookahead than asked for");
    check(lookahead.size() == std::min<std::size_t>(record.Lookahead, packetSize),
          "less lookahead than the frame holds");
    check(record.RxDataAddress >= record.RxAreaStart && record.RxDataAddress < record.RxAreaEnd,
          "the frame starts outside the ring");
    check(record.RxHeaderNext >= record.RxFirstPage && record.RxHeaderNext < record.RxStopPage,
          "the next page lies outside the ring");
    check(indicated_.insert(record.RxDataAddress).second, "a frame was indicated twice");
    const ULONG ringSize = record.RxAreaEnd - record.RxAreaStart;
    const ULONG at = (record.RxDataAddress - from_ + ringSize) % ringSize;
    check(at >= kHeaderLength && at + length <= curr_,
          "a frame was indicated that does not lie between where reading started and CURR");
    indications.emplace_back(record.RxDataAddress, length);
    std::vector<std::uint8_t> shown(header.begin(), header.end());
    shown.insert(shown.end(), lookahead.begin(), lookahead.end());
    check(shown == ringBytes(world_.card(width_), record, record.RxDataAddress, shown.size()),
          "the indicated bytes are not the ring's");

    if (next_ < requests.size()) {
      transfer(adapter, record, requests[next_++]);
    }
  }

  void receiveComplete(kl::sim::MiniportAdapter&) override {}

 private:
  void transfer(kl::sim::MiniportAdapter& adapter, const Adapter& record,
                const TransferRequest& request) {
    std::vector<std::vector<std::uint8_t>> pieces;
    for (const UINT piece : request.pieces) {
      pieces.emplace_back(piece, 0);
    }
    const auto packet = kl::sim::Packet::fromPieces(pieces);
    UINT transferred = 0xFFFFFFFF;
    const NDIS_STATUS status =
        adapter.transferData(packet->ndis(), request.offset, request.length, transferred);
    const ULONG data = record.RxPacketLength - kEthernetHeader;
    if (request.offset > data) {
      check(status == NDIS_STATUS_FAILURE && transferred == 0, "a transfer past the frame");
      return;
    }
    std::size_t room = 0;
    for (const UINT piece : request.pieces) {
      room += piece;
    }
    const std::size_t expected =
        std::min<std::size_t>({request.length, data - request.offset, room});
    check(status == NDIS_STATUS_SUCCESS, "a transfer within the frame failed");
    check(transferred == expected, "a transfer moved the wrong count");
    const std::vector<std::uint8_t> copied = packet->bytes();
    const std::vector<std::uint8_t> frame =
        ringBytes(world_.card(width_), record,
                  record.RxDataAddress + kEthernetHeader + request.offset, transferred);
    check(std::equal(frame.begin(), frame.end(), copied.begin()),
          "transfer-data copied other bytes than the frame's");
  }

  kl::fuzz::AdaptersOnCards& world_;
  kl::sim::card::BusWidth width_;
  std::set<ULONG> indicated_;
  std::size_t next_ = 0;
  ULONG from_ = 0;
  ULONG curr_ = 0;
};

// Frames as the controller stores them from page `first` on: a header of
// status, next page and byte count (the frame and its FCS), then the frame;
// each takes whole pages. Returns where each frame's data lies and its
// length, and the page after the last, leaving at least one page free as the
// controller does.
struct StoredFrames {
  std::vector<std::pair<ULONG, ULONG>> frames;
  std::uint32_t pagesUsed = 0;
};

StoredFrames storeFrames(FuzzedDataProvider& input, std::vector<std::uint8_t>& ring,
                         std::uint32_t firstPage, const Adapter& record) {
  const auto pages = static_cast<std::uint32_t>(ring.size() / kPageSize);
  StoredFrames stored;
  const auto count = input.ConsumeIntegralInRange<std::size_t>(0, kMostFrames);
  for (std::size_t i = 0; i < count; ++i) {
    const auto length = input.ConsumeIntegralInRange<std::uint32_t>(60, 1514);
    const bool group = input.ConsumeBool();
    const std::uint32_t storedBytes = kHeaderLength + length + kFcsLength;
    const std::uint32_t framePages = (storedBytes + kPageSize - 1) / kPageSize;
    if (stored.pagesUsed + framePages >= pages) {
      break;
    }
    const std::uint32_t page = (firstPage + stored.pagesUsed) % pages;
    const std::uint32_t next = (page + framePages) % pages;
    std::vector<std::uint8_t> bytes = input.ConsumeBytes<std::uint8_t>(length + kFcsLength);
    bytes.resize(length + kFcsLength, 0);
    bytes[0] = static_cast<std::uint8_t>(group ? bytes[0] | 1U : bytes[0] & ~1U);
    const std::uint32_t countBytes = length + kFcsLength;
    const std::array<std::uint8_t, kHeaderLength> header = {
        static_cast<std::uint8_t>(group ? kRsrPrx | kRsrPhy : kRsrPrx),
        static_cast<std::uint8_t>(record.RxFirstPage + next),
        static_cast<std::uint8_t>(countBytes & 0xFF), static_cast<std::uint8_t>(countBytes >> 8)};
    std::uint32_t at = page * kPageSize;
    for (const std::uint8_t byte : header) {
      ring[at++ % ring.size()] = byte;
    }
    for (const std::uint8_t byte : bytes) {
      ring[at++ % ring.size()] = byte;
    }
    stored.frames.emplace_back(
        record.RxAreaStart + (page * kPageSize + kHeaderLength) % ring.size(), length);
    stored.pagesUsed += framePages;
  }
  return stored;
}

// Each adapter with a checking protocol bound to it.
CheckingProtocol& protocolFor(kl::sim::card::BusWidth width) {
  static std::array<std::unique_ptr<CheckingProtocol>, 2> protocols;
  auto& protocol = protocols[width == kl::sim::card::BusWidth::Word ? 0 : 1];
  if (!protocol) {
    kl::fuzz::AdaptersOnCards& world = kl::fuzz::AdaptersOnCards::instance();
    protocol = std::make_unique<CheckingProtocol>(world, width);
    world.adapter(width).bind(*protocol);
  }
  return *protocol;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto width =
      input.ConsumeBool() ? kl::sim::card::BusWidth::Byte : kl::sim::card::BusWidth::Word;
  kl::fuzz::AdaptersOnCards& world = kl::fuzz::AdaptersOnCards::instance();
  CheckingProtocol& protocol = protocolFor(width);
  kl::sim::MiniportAdapter& adapter = world.adapter(width);
  kl::sim::card::Card& card = world.card(width);
  const auto budgetUsed = input.ConsumeIntegralInRange<ULONG>(0, kFrameBudget);
  const auto lookahead = input.ConsumeIntegralInRange<ULONG>(0, kMaxLookahead);

  protocol.requests.clear();
  const auto count = input.ConsumeIntegralInRange<std::size_t>(0, kMostRequests);
  for (std::size_t i = 0; i < count; ++i) {
    TransferRequest request{.offset = input.ConsumeIntegral<std::uint16_t>(),
                            .length = input.ConsumeIntegral<std::uint16_t>()};
    const auto pieces = input.ConsumeIntegralInRange<std::size_t>(1, kMostPieces);
    for (std::size_t p = 0; p < pieces; ++p) {
      request.pieces.push_back(input.ConsumeIntegralInRange<std::uint16_t>(0, 2047));
    }
    protocol.requests.push_back(std::move(request));
  }

  // A fresh ring, read from the page the input names. The frame budget a
  // pass has left is the input's too, so that no input depends on the ones
  // before it.
  check(adapter.reset() == NDIS_STATUS_SUCCESS, "the reset failed");
  Adapter& record = world.record(width);
  record.RcvPassCount = budgetUsed;
  ULONG read = 0;
  ULONG needed = 0;
  std::uint8_t setting[sizeof(ULONG)];
  std::memcpy(setting, &lookahead, sizeof(setting));
  check(adapter.set(OID_GEN_CURRENT_LOOKAHEAD, setting, read, needed) == NDIS_STATUS_SUCCESS,
        "the lookahead was refused");
  // Every frame the card stores is one the protocol asked for.
  const ULONG filter = NDIS_PACKET_TYPE_PROMISCUOUS;
  std::memcpy(setting, &filter, sizeof(setting));
  check(adapter.set(OID_GEN_CURRENT_PACKET_FILTER, setting, read, needed) == NDIS_STATUS_SUCCESS,
        "the filter was refused");
  const std::uint32_t ringSize = record.RxAreaEnd - record.RxAreaStart;
  const std::uint32_t pages = ringSize / kPageSize;
  const auto first = input.ConsumeIntegralInRange<std::uint32_t>(0, pages - 1);
  std::vector<std::uint8_t> ring(ringSize, 0);
  const StoredFrames stored = storeFrames(input, ring, first, record);
  // CURR past the frames, into what follows them; or anywhere at all.
  const bool wild = input.ConsumeIntegralInRange<int>(0, 15) == 0;
  const auto wildCurr = input.ConsumeIntegral<std::uint8_t>();
  const std::uint32_t currPages = stored.pagesUsed + input.ConsumeIntegralInRange<std::uint32_t>(
                                                         0, pages - 1 - stored.pagesUsed);
  const std::vector<std::uint8_t> rest = input.ConsumeRemainingBytes<std::uint8_t>();
  for (std::size_t i = 0; i < rest.size() && stored.pagesUsed * kPageSize + i < ringSize; ++i) {
    ring[(first * kPageSize + stored.pagesUsed * kPageSize + i) % ringSize] = rest[i];
  }
  card.memory().write(record.RxAreaStart, ring);
  const auto firstPage = static_cast<UCHAR>(record.RxFirstPage + first);
  const auto curr = static_cast<std::uint8_t>(record.RxFirstPage + (first + currPages) % pages);
  card.controller().setCurr(wild ? wildCurr : curr);
  record.NextPacketPage = firstPage;
  record.CurrentPage = firstPage;
  card.write8(kBnry, firstPage == record.RxFirstPage ? record.RxStopPage - 1 : firstPage - 1);

  protocol.start(record.RxAreaStart + first * kPageSize,
                 wild ? 2 * ringSize : currPages * kPageSize);
  card.controller().setIsrBits(kIsrPrx);
  world.machine().runFor(kl::sim::Duration{0});
  if (wild) {
    return 0;
  }
  check(protocol.indications.size() >= stored.frames.size() &&
            std::equal(stored.frames.begin(), stored.frames.end(), protocol.indications.begin()),
        "the frames stored were not each indicated once, in order, before anything else");
  check(record.NextPacketPage == curr, "the driver did not read on to CURR");
  return 0;
}
