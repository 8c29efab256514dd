// Information requests: the answers to queries, and the receive filters that
// packet-filter and multicast-list sets program into the controller.
//
// Sets change the Adapter record first and then load RCR and MAR0-MAR7 from
// it. ControllerStart loads the same registers from the same fields, so a
// reset or an overflow recovery brings back exactly the filters last set.
#pragma once

#include "driver/adapter.h"

// OIDs answered in OID_GEN_SUPPORTED_LIST, in the order reported.
constexpr ULONG kSupportedOidCount = 35;
extern const NDIS_OID SupportedOidList[kSupportedOidCount];

// OID_GEN_VENDOR_DESCRIPTION: the card's name with its terminating zero.
constexpr ULONG kVendorDescriptionLength = 25;
extern const char VendorDescription[kVendorDescriptionLength];

// Packet types the controller can filter on; a packet filter with none of
// them (and not 0) is refused.
constexpr ULONG kAcceptedPacketTypes = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST |
                                       NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_BROADCAST |
                                       NDIS_PACKET_TYPE_PROMISCUOUS;

// Loads MAR (all ones, or the hash of the list) and then RCR for the current
// PacketFilter. Always succeeds.
NDIS_STATUS ApplyPacketFilter(Adapter* adapter);

// Rebuilds MulticastFilter from the list and loads it into MAR. Always
// succeeds.
NDIS_STATUS ApplyMulticastList(Adapter* adapter);

// Recomputes MulticastFilter from the first MulticastCount list entries.
VOID BuildMulticastFilter(Adapter* adapter);

// The hash-filter bit an address falls on: MAR byte `*byteIndex` (0..7),
// bit mask `*byteMask`, chosen by the top six bits of its CRC.
VOID MulticastHashBit(const UCHAR* address, PUCHAR byteIndex, PUCHAR byteMask);

// The 802.3 frame check sequence's CRC-32 as the controller's address filter
// sees it: shifted in from each byte's least significant bit, with neither
// the final complement nor the reflection of the transmitted FCS.
ULONG MulticastCrc(const UCHAR* bytes, ULONG length);

// Register writers, run only through NdisMSynchronizeWithInterrupt with the
// adapter's Interrupt so that they never interleave with MiniportISR. Each
// takes the adapter as its context, leaves page 0 selected and returns FALSE.
BOOLEAN NDIS_API SyncWriteRcr(PVOID context);
BOOLEAN NDIS_API SyncWriteMarAllOnes(PVOID context);
BOOLEAN NDIS_API SyncWriteMarFromFilter(PVOID context);
