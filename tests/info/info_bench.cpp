#include "tests/info/info_bench.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "nic/controller.h"
#include "support/linked_driver.h"

namespace kl::test {

InfoBench::InfoBench() {
  machine_.bus().attach(kInfoIoBase, sim::card::Card::kPortCount, levels_);
  if (loadLinkedDriver(machine_) != STATUS_SUCCESS) {
    ADD_FAILURE() << "the driver did not load";
  }
  host_ = &machine_.addAdapter();

  // The record as a successful initialisation leaves it on a 16 KiB card.
  adapter_.MiniportHandle = host_->handle();
  adapter_.IoPort = reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(kInfoIoBase));
  adapter_.TxBufferCount = kTxBufferCount;
  adapter_.MaxMulticastList = kMaxMulticastAddresses;
  adapter_.CurrentTx = -1;
  adapter_.RamStart = 0x4000;
  adapter_.RamSize = 0x4000;
  adapter_.TxAreaStart = 0x4000;
  adapter_.RxAreaStart = 0x4C00;
  adapter_.RxAreaEnd = 0x8000;
  adapter_.TxStartPage = 0x40;
  adapter_.RxFirstPage = 0x4C;
  adapter_.RxStopPage = 0x80;
  adapter_.ImrValue = 0x1B;
  adapter_.Lookahead = kMaxLookahead;
  std::copy(kPermanent.begin(), kPermanent.end(), adapter_.PermanentAddress);
  std::copy(kCurrent.begin(), kCurrent.end(), adapter_.CurrentAddress);

  NdisMSetAttributesEx(host_->handle(), &adapter_, 0, 0, NdisInterfacePcMcia);
  if (NdisMRegisterInterrupt(&adapter_.Interrupt, host_->handle(), kInfoVector, kInfoVector, TRUE,
                             FALSE, NdisInterruptLatched) != NDIS_STATUS_SUCCESS) {
    ADD_FAILURE() << "the interrupt was not registered";
  }
  if (!ControllerStart(&adapter_)) {
    ADD_FAILURE() << "the card model refused to start";
  }
  levels_.takeWrites();
  machine_.bus().startTrace();
  host_->upWithoutInitialize();
}

NDIS_STATUS InfoBench::set(NDIS_OID oid, std::vector<std::uint8_t> value) {
  ULONG read = 0;
  ULONG needed = 0;
  return set(oid, value, read, needed);
}

NDIS_STATUS InfoBench::setPacketFilter(ULONG filter) {
  return set(OID_GEN_CURRENT_PACKET_FILTER, Le32(filter));
}

NDIS_STATUS InfoBench::setMulticastList(const std::vector<MacAddress>& groups) {
  std::vector<std::uint8_t> bytes;
  for (const MacAddress& group : groups) {
    bytes.insert(bytes.end(), group.begin(), group.end());
  }
  return set(OID_802_3_MULTICAST_LIST, bytes);
}

std::vector<std::uint8_t> InfoBench::recordBytes() const {
  std::vector<std::uint8_t> bytes(sizeof(Adapter));
  std::memcpy(bytes.data(), &adapter_, sizeof(Adapter));
  return bytes;
}

std::vector<std::uint8_t> Le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

}  // namespace kl::test
