// The Adapter record: the whole state of one adapter.
//
// MiniportInitialize allocates one record per adapter, zeroes it and hands it
// to NDIS as the miniport adapter context, so every handler receives it. The
// NDIS interrupt and timer objects live inside it, and the controller is
// reached through IoPort; there is no other per-adapter storage.
#pragma once

#include "platform/ndis.h"

// Transmit buffers of 256 bytes at the start of card memory.
constexpr ULONG kTxBufferCount = 12;
// Bytes in a station address.
constexpr ULONG kEthernetAddressLength = 6;
// Bytes in an Ethernet header (destination, source, type/length).
constexpr ULONG kEthernetHeaderLength = 14;
// Shortest and longest frame on the wire, without the FCS the controller adds.
constexpr ULONG kMinFrameLength = 60;
constexpr ULONG kMaxFrameLength = 1514;
// Most lookahead bytes offered in a receive indication.
constexpr ULONG kMaxLookahead = 238;
// Header plus the largest lookahead, as indicated.
constexpr ULONG kLookaheadBufferSize = kEthernetHeaderLength + kMaxLookahead;
// Bytes of the 64-bit multicast hash filter (one per MAR register).
constexpr ULONG kMulticastFilterSize = 8;
// Capacity of the multicast list; the configured maximum never exceeds it.
constexpr ULONG kMaxMulticastAddresses = 32;
// Packet types that open the multicast hash filter completely: while the
// packet filter has either, MAR holds all ones whatever the list hashes to.
constexpr ULONG kAllMulticastPacketTypes =
    NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS;

struct Adapter {
  // Platform links: the handle NDIS knows the adapter by, the interrupt object
  // NdisMRegisterInterrupt fills, and the chain of running adapters.
  NDIS_HANDLE MiniportHandle;
  NDIS_MINIPORT_INTERRUPT Interrupt;
  Adapter* Next;

  // Receive pacing: frames taken from the ring in the current pass.
  ULONG RcvPassCount;

  // PHY state and the vendor register: media selection, the PHY found on the
  // management bus, the resolved link, and shadows of the PHY registers.
  UCHAR ConnectionType;
  UCHAR PhyAddress;
  ULONG PhyId;  // MII register 2 in the high half, register 3 in the low half
  UCHAR Is100Mbps;
  UCHAR PartnerAbilityNonZero;
  UCHAR VendorStatus;  // last read of the vendor register
  USHORT BmcrShadow;
  USHORT PhyVendorStatus;
  USHORT AnarShadow;
  USHORT PartnerAbility;

  // Configuration: transmit buffer count, resources and card variant.
  ULONG TxBufferCount;
  ULONG IoBaseAddress;
  signed char InterruptNumber;
  ULONG MaxMulticastList;
  UCHAR BusType;  // NDIS_INTERFACE_TYPE
  ULONG CardType;

  // Transmit state: the transmit-buffer ring on the card and the packets
  // waiting for a free buffer.
  ULONG NextTxFill;
  ULONG NextTxSend;
  LONG CurrentTx;  // -1 while the transmitter is idle
  UCHAR TxPending;
  UCHAR ResendAfterOverflow;
  ULONG TxBufferState[kTxBufferCount];   // 0 free, 2 holds (part of) a frame
  ULONG TxBufferLength[kTxBufferCount];  // length of the frame that starts here
  PNDIS_PACKET SendQueueHead;
  PNDIS_PACKET SendQueueTail;

  // Card memory layout and the receive ring (card byte addresses and 8-bit
  // page numbers), the last transmit status, the port base, the accumulated
  // interrupt status, the station addresses, the packet filter and the bus
  // width.
  ULONG TxAreaStart;
  ULONG RxAreaStart;
  ULONG RxAreaEnd;
  UCHAR LastTsr;
  UCHAR TxStartPage;
  UCHAR RxFirstPage;  // PSTART
  UCHAR RxStopPage;   // PSTOP
  UCHAR NextPacketPage;
  UCHAR CurrentPage;  // last value read from CURR
  ULONG RxPacketLength;
  PUCHAR IoPort;  // mapped base of the card's 32 ports
  UCHAR IsrAccum;
  UCHAR CurrentAddress[kEthernetAddressLength];
  UCHAR PermanentAddress[kEthernetAddressLength];
  ULONG RamStart;
  ULONG RamSize;
  ULONG PacketFilter;
  UCHAR Overflowed;
  UCHAR RcvIndicated;
  UCHAR EightBitMode;  // byte-wide data path when non-zero, else 16 bits

  // Statistics: wrapping 32-bit counters.
  ULONG TxGoodCount;
  ULONG RxGoodCount;
  ULONG TxBadCount;
  ULONG OneCollisionCount;
  ULONG MoreCollisionCount;
  ULONG AlignErrorCount;  // sum of CNTR0 readings
  ULONG CrcErrorCount;    // sum of CNTR1 readings
  ULONG MissedCount;      // sum of CNTR2 readings

  // Filters, interrupt mask, link state and lookahead size.
  UCHAR MulticastFilter[kMulticastFilterSize];  // byte i for MARi
  UCHAR RcrValue;
  UCHAR ImrValue;  // mask while interrupts are enabled
  UCHAR LinkUp;
  UCHAR LinkResolved;  // a link has been resolved since bring-up began
  ULONG Lookahead;

  // The received frame being handled: its ring header, where its data starts
  // on the card, and the header plus lookahead as indicated.
  UCHAR RxHeaderStatus;
  UCHAR RxHeaderNext;
  UCHAR RxHeaderLenLo;
  UCHAR RxHeaderLenHi;
  ULONG RxDataAddress;
  UCHAR LookaheadBuffer[kLookaheadBufferSize];

  // Multicast list last set, and the adapter's periodic timer.
  ULONG MulticastCount;
  UCHAR MulticastList[kMaxMulticastAddresses][kEthernetAddressLength];
  NDIS_MINIPORT_TIMER Timer;
};
