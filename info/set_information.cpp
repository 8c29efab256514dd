#include "driver/miniport_handlers.h"
#include "info/information.h"
#include "nic/registers.h"

namespace {

// Each set OID carries one 32-bit value, except the multicast list.
constexpr ULONG kValueLength = sizeof(ULONG);

// Packet types behind each RCR bit the packet filter controls.
constexpr ULONG kMulticastPacketTypes =
    NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS;
constexpr ULONG kPromiscuousPacketTypes = NDIS_PACKET_TYPE_PROMISCUOUS;
constexpr ULONG kBroadcastPacketTypes = NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_PROMISCUOUS;

// The caller's buffer need not be aligned.
ULONG ReadValue(PVOID buffer) {
  ULONG value = 0;
  NdisMoveMemory(&value, buffer, sizeof(value));
  return value;
}

VOID SetRcrBit(Adapter* adapter, UCHAR bit, BOOLEAN set) {
  adapter->RcrValue = static_cast<UCHAR>(set ? adapter->RcrValue | bit : adapter->RcrValue & ~bit);
}

VOID Synchronized(Adapter* adapter, BOOLEAN(NDIS_API* writer)(PVOID)) {
  NdisMSynchronizeWithInterrupt(&adapter->Interrupt, reinterpret_cast<PVOID>(writer), adapter);
}

// The list capacity, whatever the configuration claims.
ULONG MulticastListCapacity(const Adapter* adapter) {
  return adapter->MaxMulticastList < kMaxMulticastAddresses ? adapter->MaxMulticastList
                                                            : kMaxMulticastAddresses;
}

}  // namespace

NDIS_STATUS ApplyPacketFilter(Adapter* adapter) {
  const ULONG filter = adapter->PacketFilter;
  if (filter & kAllMulticastPacketTypes) {
    Synchronized(adapter, SyncWriteMarAllOnes);
  } else {
    ApplyMulticastList(adapter);
  }
  SetRcrBit(adapter, kRcrAm, (filter & kMulticastPacketTypes) != 0);
  SetRcrBit(adapter, kRcrPro, (filter & kPromiscuousPacketTypes) != 0);
  SetRcrBit(adapter, kRcrAb, (filter & kBroadcastPacketTypes) != 0);
  Synchronized(adapter, SyncWriteRcr);
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS ApplyMulticastList(Adapter* adapter) {
  BuildMulticastFilter(adapter);
  Synchronized(adapter, SyncWriteMarFromFilter);
  return NDIS_STATUS_SUCCESS;
}

// Every refusal leaves the record and the registers as they were.
NDIS_STATUS NDIS_API MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                            PVOID InformationBuffer, ULONG InformationBufferLength,
                                            PULONG BytesRead, PULONG BytesNeeded) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);

  switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER: {
      if (InformationBufferLength != kValueLength) {
        *BytesRead = 0;
        *BytesNeeded = 0;
        return NDIS_STATUS_INVALID_LENGTH;
      }
      const ULONG filter = ReadValue(InformationBuffer);
      *BytesRead = kValueLength;
      *BytesNeeded = 0;
      // Bits the controller cannot honour are kept but have no effect; a
      // filter made of nothing else is refused.
      if (filter != 0 && (filter & kAcceptedPacketTypes) == 0) {
        return NDIS_STATUS_NOT_SUPPORTED;
      }
      adapter->PacketFilter = filter;
      return ApplyPacketFilter(adapter);
    }

    case OID_GEN_CURRENT_LOOKAHEAD: {
      if (InformationBufferLength != kValueLength) {
        *BytesRead = 0;
        *BytesNeeded = kValueLength;
        return NDIS_STATUS_INVALID_LENGTH;
      }
      const ULONG lookahead = ReadValue(InformationBuffer);
      if (lookahead > kMaxLookahead) {
        return NDIS_STATUS_INVALID_LENGTH;
      }
      adapter->Lookahead = lookahead;
      *BytesRead = kValueLength;
      *BytesNeeded = 0;
      return NDIS_STATUS_SUCCESS;
    }

    case OID_GEN_PROTOCOL_OPTIONS:
      // Accepted and ignored: nothing here depends on the protocol's options.
      if (InformationBufferLength != kValueLength) {
        *BytesRead = 0;
        *BytesNeeded = kValueLength;
        return NDIS_STATUS_INVALID_LENGTH;
      }
      *BytesRead = kValueLength;
      *BytesNeeded = 0;
      return NDIS_STATUS_SUCCESS;

    case OID_802_3_MULTICAST_LIST: {
      if (InformationBufferLength % kEthernetAddressLength != 0) {
        *BytesRead = 0;
        *BytesNeeded = 0;
        return NDIS_STATUS_INVALID_LENGTH;
      }
      const ULONG capacity = MulticastListCapacity(adapter) * kEthernetAddressLength;
      if (InformationBufferLength > capacity) {
        *BytesRead = 0;
        *BytesNeeded = capacity;
        return NDIS_STATUS_INVALID_LENGTH;
      }
      adapter->MulticastCount = InformationBufferLength / kEthernetAddressLength;
      if (InformationBufferLength != 0) {
        NdisMoveMemory(adapter->MulticastList, InformationBuffer, InformationBufferLength);
      }
      // While every group is let through, the hash waits for a packet filter
      // that closes MAR again.
      if ((adapter->PacketFilter & kAllMulticastPacketTypes) == 0) {
        ApplyMulticastList(adapter);
      }
      *BytesRead = InformationBufferLength;
      *BytesNeeded = 0;
      return NDIS_STATUS_SUCCESS;
    }

    default:
      *BytesRead = 0;
      *BytesNeeded = 0;
      return NDIS_STATUS_INVALID_OID;
  }
}
