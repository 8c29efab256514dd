#include "driver/miniport_handlers.h"
#include "info/information.h"
#include "nic/registers.h"

const NDIS_OID SupportedOidList[kSupportedOidCount] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_VENDOR_ID,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_802_3_MAC_OPTIONS,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
};

const char VendorDescription[kVendorDescriptionLength] = "VELMORAN KL7046 PC Card.";
static_assert(sizeof("VELMORAN KL7046 PC Card.") == kVendorDescriptionLength);

namespace {

// Fixed answers.
constexpr ULONG kMaximumFrameSize = 1500;  // payload of an Ethernet frame
constexpr ULONG kMaximumTotalSize = 1514;  // header and payload, without the FCS
constexpr ULONG kBlockSize = kCardPageSize;
// The receive-buffer space is reported for an 8 KiB card whatever its memory.
constexpr ULONG kReportedCardMemory = 8192;
constexpr ULONG kMacOptions = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA |
                              NDIS_MAC_OPTION_RECEIVE_SERIALIZED |
                              NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK;
constexpr ULONG kMaximumSendPackets = 1;
constexpr USHORT kNdisVersion = 0x0400;             // NDIS 4.0, major version in the high byte
constexpr ULONG kVendorDriverVersion = 0x00010000;  // 1.0, major version in the high word
// Link speed in units of 100 bit/s.
constexpr ULONG kLinkSpeed100Mbps = 1000000;
constexpr ULONG kLinkSpeed10Mbps = 100000;
// The vendor id is the station address's organisationally unique identifier.
constexpr ULONG kVendorIdOuiLength = 3;

// OIDs of statistics and power management that this card cannot provide:
// they are refused as not supported rather than unknown.
struct OidRange {
  NDIS_OID First;
  NDIS_OID Last;
};

constexpr OidRange kNotSupportedOids[] = {
    {OID_GEN_SUPPORTED_GUIDS, OID_GEN_SUPPORTED_GUIDS},
    {OID_GEN_DIRECTED_BYTES_XMIT, OID_GEN_TRANSMIT_QUEUE_LENGTH},
    {OID_802_3_XMIT_DEFERRED, OID_802_3_XMIT_LATE_COLLISIONS},
    {OID_PNP_CAPABILITIES, OID_PNP_REMOVE_WAKE_UP_PATTERN},
    {OID_PNP_ENABLE_WAKE_UP, OID_PNP_ENABLE_WAKE_UP},
    {OID_PNP_WAKE_UP_OK, OID_PNP_WAKE_UP_ERROR},
};

NDIS_STATUS RefusalOf(NDIS_OID oid) {
  for (const OidRange& range : kNotSupportedOids) {
    if (oid >= range.First && oid <= range.Last) {
      return NDIS_STATUS_NOT_SUPPORTED;
    }
  }
  return NDIS_STATUS_INVALID_OID;
}

}  // namespace

// Answers from constants and from the record; no hardware is touched and no
// state changes, so a query is safe at any point of the adapter's life.
NDIS_STATUS NDIS_API MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                              PVOID InformationBuffer,
                                              ULONG InformationBufferLength, PULONG BytesWritten,
                                              PULONG BytesNeeded) {
  const Adapter* adapter = static_cast<const Adapter*>(MiniportAdapterContext);

  // Most answers are one 32-bit value built here; the rest point elsewhere.
  ULONG value = 0;
  USHORT version = kNdisVersion;
  UCHAR bytes[kEthernetAddressLength] = {};
  const void* source = &value;
  ULONG length = sizeof(value);

  switch (Oid) {
    case OID_GEN_SUPPORTED_LIST:
      source = SupportedOidList;
      length = sizeof(SupportedOidList);
      break;
    case OID_GEN_HARDWARE_STATUS:
      value = NdisHardwareStatusReady;
      break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
      value = NdisMedium802_3;
      break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
      value = kMaxLookahead;
      break;
    case OID_GEN_MAXIMUM_FRAME_SIZE:
      value = kMaximumFrameSize;
      break;
    case OID_GEN_LINK_SPEED:
      value = adapter->Is100Mbps ? kLinkSpeed100Mbps : kLinkSpeed10Mbps;
      break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
      value = adapter->TxBufferCount * kCardPageSize;
      break;
    case OID_GEN_RECEIVE_BUFFER_SPACE:
      value = kReportedCardMemory - adapter->TxBufferCount * kCardPageSize;
      break;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
      value = kBlockSize;
      break;
    case OID_GEN_VENDOR_ID:
      NdisMoveMemory(bytes, adapter->PermanentAddress, kVendorIdOuiLength);
      source = bytes;
      length = sizeof(ULONG);
      break;
    case OID_GEN_VENDOR_DESCRIPTION:
      source = VendorDescription;
      length = sizeof(VendorDescription);
      break;
    case OID_GEN_CURRENT_PACKET_FILTER:
      value = adapter->PacketFilter;
      break;
    case OID_GEN_CURRENT_LOOKAHEAD:
      value = adapter->Lookahead;
      break;
    case OID_GEN_DRIVER_VERSION:
      source = &version;
      length = sizeof(version);
      break;
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
      value = kMaximumTotalSize;
      break;
    case OID_GEN_MAC_OPTIONS:
      value = kMacOptions;
      break;
    case OID_GEN_MEDIA_CONNECT_STATUS:
      value = adapter->LinkUp ? NdisMediaStateConnected : NdisMediaStateDisconnected;
      break;
    case OID_GEN_MAXIMUM_SEND_PACKETS:
      value = kMaximumSendPackets;
      break;
    case OID_GEN_VENDOR_DRIVER_VERSION:
      value = kVendorDriverVersion;
      break;
    case OID_GEN_XMIT_OK:
      value = adapter->TxGoodCount;
      break;
    case OID_GEN_RCV_OK:
      value = adapter->RxGoodCount;
      break;
    case OID_GEN_XMIT_ERROR:
      value = adapter->TxBadCount;
      break;
    case OID_GEN_RCV_ERROR:
      value = adapter->CrcErrorCount;
      break;
    case OID_GEN_RCV_NO_BUFFER:
      value = adapter->MissedCount;
      break;
    case OID_802_3_PERMANENT_ADDRESS:
      NdisMoveMemory(bytes, adapter->PermanentAddress, kEthernetAddressLength);
      source = bytes;
      length = kEthernetAddressLength;
      break;
    case OID_802_3_CURRENT_ADDRESS:
      NdisMoveMemory(bytes, adapter->CurrentAddress, kEthernetAddressLength);
      source = bytes;
      length = kEthernetAddressLength;
      break;
    case OID_802_3_MULTICAST_LIST:
      source = adapter->MulticastList;
      length = adapter->MulticastCount * kEthernetAddressLength;
      break;
    case OID_802_3_MAXIMUM_LIST_SIZE:
      value = adapter->MaxMulticastList;
      break;
    case OID_802_3_MAC_OPTIONS:
      value = 0;
      break;
    case OID_802_3_RCV_ERROR_ALIGNMENT:
      value = adapter->AlignErrorCount;
      break;
    case OID_802_3_XMIT_ONE_COLLISION:
      value = adapter->OneCollisionCount;
      break;
    case OID_802_3_XMIT_MORE_COLLISIONS:
      value = adapter->MoreCollisionCount;
      break;
    default:
      // OID_GEN_PROTOCOL_OPTIONS lands here too: it can only be set.
      return RefusalOf(Oid);
  }

  if (length > InformationBufferLength) {
    *BytesNeeded = length;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  // An empty answer may come with no buffer at all.
  if (length != 0) {
    NdisMoveMemory(InformationBuffer, source, length);
  }
  *BytesWritten = length;
  return NDIS_STATUS_SUCCESS;
}
