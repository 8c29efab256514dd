// Information requests with arbitrary OIDs, buffers and lengths, queries and
// sets interleaved, on a running adapter. Every request gets one of the
// statuses a miniport may give; an answer fits the buffer it was given (the
// buffer is exactly as long as claimed, so AddressSanitizer sees any write
// past it) and says how much it needs when it does not; and after each
// request the card holds what the record says it should: RCR, the hash
// filter (all ones while all-multicast or promiscuous reception is on),
// the interrupt mask, and register page 0 at rest.
//
// Input: requests of a kind byte (query or set; OID from the driver's tables
// or raw), a length and that many buffer bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/adapter_on_card.h"

namespace {

using kl::fuzz::check;

// The OIDs the driver answers or accepts, their neighbours and the refused
// ranges' edges; the input can also give any OID raw.
constexpr std::array<NDIS_OID, 48> kOids = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010107, 0x00010108,
    0x00010109, 0x0001010A, 0x0001010B, 0x0001010C, 0x0001010D, 0x0001010E, 0x0001010F, 0x00010110,
    0x00010111, 0x00010112, 0x00010113, 0x00010114, 0x00010115, 0x00010116, 0x00010117, 0x00020101,
    0x00020102, 0x00020103, 0x00020104, 0x00020105, 0x00020201, 0x0002020E, 0x0002020F, 0x01010101,
    0x01010102, 0x01010103, 0x01010104, 0x01010105, 0x01020101, 0x01020102, 0x01020103, 0x01020201,
    0x01020207, 0xFD010100, 0xFD010104, 0xFD010105, 0xFD010106, 0xFD020200, 0xFD020201, 0x00000000};
constexpr std::size_t kLongestBuffer = 300;
constexpr ULONG kUntouched = 0xA5A5A5A5;
constexpr ULONG kOpensHash = NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS;

bool allowed(NDIS_STATUS status) {
  return status == NDIS_STATUS_SUCCESS || status == NDIS_STATUS_INVALID_LENGTH ||
         status == NDIS_STATUS_INVALID_OID || status == NDIS_STATUS_NOT_SUPPORTED;
}

// What the card must hold after any request.
void checkCard(const Adapter& record, const kl::sim::card::Card& card) {
  const kl::sim::card::Controller& controller = card.controller();
  check(record.Lookahead <= kMaxLookahead, "a lookahead above 238 was taken");
  check(record.MulticastCount <= record.MaxMulticastList, "a list longer than allowed");
  check(controller.page() == 0, "register page 0 is not at rest");
  check(controller.rcr() == record.RcrValue, "RCR differs from the record");
  check(controller.imr() == record.ImrValue, "the interrupt mask was lost");
  for (std::size_t i = 0; i < kMulticastFilterSize; ++i) {
    const UCHAR expected =
        (record.PacketFilter & kOpensHash) != 0 ? 0xFF : record.MulticastFilter[i];
    check(controller.multicastFilter()[i] == expected, "MAR differs from the filter");
  }
}

NDIS_STATUS setUlong(kl::sim::MiniportAdapter& adapter, NDIS_OID oid, ULONG value) {
  std::vector<std::uint8_t> bytes(sizeof(value));
  std::memcpy(bytes.data(), &value, sizeof(value));
  ULONG read = 0;
  ULONG needed = 0;
  return adapter.set(oid, bytes, read, needed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr auto kWidth = kl::sim::card::BusWidth::Word;
  kl::fuzz::AdaptersOnCards& world = kl::fuzz::AdaptersOnCards::instance();
  kl::sim::MiniportAdapter& adapter = world.adapter(kWidth);
  // Every input starts from the settings bring-up leaves.
  check(setUlong(adapter, OID_GEN_CURRENT_PACKET_FILTER, 0) == NDIS_STATUS_SUCCESS, "filter");
  check(setUlong(adapter, OID_GEN_CURRENT_LOOKAHEAD, kMaxLookahead) == NDIS_STATUS_SUCCESS,
        "lookahead");
  std::vector<std::uint8_t> none;
  ULONG read = 0;
  ULONG needed = 0;
  check(adapter.set(OID_802_3_MULTICAST_LIST, none, read, needed) == NDIS_STATUS_SUCCESS, "list");

  FuzzedDataProvider input(data, size);
  while (input.remaining_bytes() != 0) {
    const auto kind = input.ConsumeIntegral<std::uint8_t>();
    const NDIS_OID oid =
        (kind & 2) != 0 ? input.ConsumeIntegral<NDIS_OID>() : input.PickValueInArray(kOids);
    std::vector<std::uint8_t> buffer = input.ConsumeBytes<std::uint8_t>(
        input.ConsumeIntegralInRange<std::size_t>(0, kLongestBuffer - 1));
    ULONG done = kUntouched;
    ULONG wanted = kUntouched;
    if ((kind & 1) != 0) {
      const NDIS_STATUS status = adapter.set(oid, buffer, done, wanted);
      check(allowed(status), "a set answered with a status a miniport may not give");
      check(status != NDIS_STATUS_SUCCESS || done <= buffer.size(), "read past the buffer");
    } else {
      const NDIS_STATUS status = adapter.query(oid, buffer, done, wanted);
      check(allowed(status), "a query answered with a status a miniport may not give");
      check(status != NDIS_STATUS_SUCCESS || done <= buffer.size(), "wrote past the buffer");
      check(status != NDIS_STATUS_INVALID_LENGTH || (wanted > buffer.size() && done == kUntouched),
            "a refused length without what it needs");
    }
    checkCard(world.record(kWidth), world.card(kWidth));
  }
  return 0;
}
