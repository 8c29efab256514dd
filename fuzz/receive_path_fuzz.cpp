// The receive path with arbitrary ring contents, CURR, BNRY and lookahead
// size, on both bus widths, and a protocol that asks for transfer-data of
// arbitrary offset and length into buffer chains of arbitrary shape.
//
// What must hold for every input: each indication shows bytes that lie in
// the ring where its header says the frame starts, with a length the header
// claims and the driver accepts; no frame is indicated twice; transfer-data
// copies exactly the frame's bytes from the offset asked for, clipped to the
// frame, and fails only for an offset past its end.
//
// Input: a byte choosing the bus width, CURR, BNRY, the lookahead, a count
// of transfer requests (offset, length and chain shape each), then the
// ring's contents from the page the driver reads next.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
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

  void start() {
    indicated_.clear();
    next_ = 0;
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
};

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
  const auto curr = input.ConsumeIntegral<std::uint8_t>();
  const auto bnry = input.ConsumeIntegral<std::uint8_t>();
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

  // A fresh ring: the reset leaves the driver reading from the ring's second
  // page, where the input's bytes go.
  check(adapter.reset() == NDIS_STATUS_SUCCESS, "the reset failed");
  Adapter& record = world.record(width);
  ULONG read = 0;
  ULONG needed = 0;
  std::uint8_t setting[sizeof(ULONG)];
  std::memcpy(setting, &lookahead, sizeof(setting));
  check(adapter.set(OID_GEN_CURRENT_LOOKAHEAD, setting, read, needed) == NDIS_STATUS_SUCCESS,
        "the lookahead was refused");
  const std::uint32_t ringSize = record.RxAreaEnd - record.RxAreaStart;
  std::vector<std::uint8_t> ring = input.ConsumeBytes<std::uint8_t>(ringSize);
  ring.resize(ringSize, 0);
  const std::uint32_t start = (record.NextPacketPage - record.RxFirstPage) * kPageSize;
  std::rotate(ring.rbegin(), ring.rbegin() + start % ringSize, ring.rend());
  card.memory().write(record.RxAreaStart, ring);
  card.controller().setCurr(curr);
  card.write8(kBnry, bnry);

  protocol.start();
  card.controller().setIsrBits(kIsrPrx);
  world.machine().runFor(kl::sim::Duration{0});
  return 0;
}
