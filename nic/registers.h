// The controller's register map: port offsets, register pages, command
// values and bits. Every value the driver writes to the card is named here.
//
// The card decodes 32 consecutive ports from the adapter's I/O base. Offsets
// 0x01-0x0F reach the registers of the page selected in CR; several offsets
// name one register when written and another when read.
#pragma once

#include "platform/ntdef.h"

// ---------------------------------------------------------------------------
// Port layout, as offsets from IoPort.

constexpr UCHAR kCr = 0x00;              // command register, present on every page
constexpr UCHAR kDataPort = 0x10;        // remote-DMA data port: byte, word and string transfers
constexpr UCHAR kResetPort = 0x1F;       // reading or writing it resets the card
constexpr UCHAR kResetPortPulse = 0xFF;  // the value written to the reset port
constexpr UINT kPortCount = 32;          // ports the card decodes, claimed as one range

// ---------------------------------------------------------------------------
// CR bits.

constexpr UCHAR kCrStp = 0x01;          // stop; reads back 1 while stopped
constexpr UCHAR kCrSta = 0x02;          // start
constexpr UCHAR kCrTxp = 0x04;          // transmit the frame at TPSR/TBCR
constexpr UCHAR kCrRemoteRead = 0x08;   // remote-DMA field: remote read
constexpr UCHAR kCrRemoteWrite = 0x10;  // remote-DMA field: remote write
constexpr UCHAR kCrAbortDma = 0x20;     // remote-DMA field: abort/complete remote DMA
constexpr UCHAR kCrPage0 = 0x00;        // register page 0, the page at rest
constexpr UCHAR kCrPage1 = 0x40;        // register page 1: PAR, CURR, MAR
constexpr UCHAR kCrPage3 = 0xC0;        // register page 3: MIIMR

// Every CR value the driver writes.
constexpr UCHAR kCrStop = kCrPage0 | kCrStp;  // 0x01: stop, DMA field clear
constexpr UCHAR kCrStartRemoteRead = kCrPage0 | kCrSta | kCrRemoteRead;    // 0x0A
constexpr UCHAR kCrStartRemoteWrite = kCrPage0 | kCrSta | kCrRemoteWrite;  // 0x12
constexpr UCHAR kCrStopAbortDma = kCrPage0 | kCrStp | kCrAbortDma;         // 0x21
constexpr UCHAR kCrStartAbortDma = kCrPage0 | kCrSta | kCrAbortDma;  // 0x22: the value at rest
constexpr UCHAR kCrStartTransmit = kCrPage0 | kCrSta | kCrTxp | kCrAbortDma;  // 0x26
constexpr UCHAR kCrPage1Stop = kCrPage1 | kCrStp;                             // 0x41
constexpr UCHAR kCrPage1StopAbortDma = kCrPage1 | kCrStp | kCrAbortDma;       // 0x61
constexpr UCHAR kCrPage1StartAbortDma = kCrPage1 | kCrSta | kCrAbortDma;      // 0x62
constexpr UCHAR kCrPage3Start = kCrPage3 | kCrSta;                            // 0xC2

// A stopped controller with its remote DMA aborted reads back both bits.
constexpr UCHAR kCrStoppedMask = kCrStp | kCrAbortDma;

// What every port of a card that no longer answers reads: nothing drives the
// data lines. A controller that has taken a command never reads so from CR,
// whose page bits come back as written.
constexpr UCHAR kCardGone = 0xFF;

// ---------------------------------------------------------------------------
// Page 0. Where the read and write sides differ, both names are given.

constexpr UCHAR kPstart = 0x01;  // write: first page of the receive ring
constexpr UCHAR kPstop = 0x02;   // write: page just past the receive ring
constexpr UCHAR kBnry = 0x03;    // boundary: last ring page the driver is done with
constexpr UCHAR kTpsr = 0x04;    // write: transmit start page
constexpr UCHAR kTsr = 0x04;     // read: transmit status
constexpr UCHAR kTbcr0 = 0x05;   // write: transmit byte count, low byte
constexpr UCHAR kTbcr1 = 0x06;   // write: transmit byte count, high byte
constexpr UCHAR kIsr = 0x07;     // interrupt status; writing 1 bits acknowledges them
constexpr UCHAR kRsar0 = 0x08;   // write: remote start address, low byte
constexpr UCHAR kCrda0 = 0x08;   // read: current remote-DMA address, low byte
constexpr UCHAR kRsar1 = 0x09;   // write: remote start address, high byte
constexpr UCHAR kCrda1 = 0x09;   // read: current remote-DMA address, high byte
constexpr UCHAR kRbcr0 = 0x0A;   // write: remote byte count, low byte
constexpr UCHAR kRbcr1 = 0x0B;   // write: remote byte count, high byte
constexpr UCHAR kVendor = 0x0B;  // the vendor register (read; written right after a read)
constexpr UCHAR kRcr = 0x0C;     // write: receive configuration
constexpr UCHAR kTcr = 0x0D;     // write: transmit configuration
constexpr UCHAR kCntr0 = 0x0D;   // read: frame alignment error tally
constexpr UCHAR kDcr = 0x0E;     // write: data configuration
constexpr UCHAR kCntr1 = 0x0E;   // read: CRC error tally
constexpr UCHAR kImr = 0x0F;     // write: interrupt mask
constexpr UCHAR kCntr2 = 0x0F;   // read: missed frame tally

// ---------------------------------------------------------------------------
// Page 1.

constexpr UCHAR kPar0 = 0x01;  // PAR0-PAR5: station address, first byte in PAR0
constexpr UCHAR kCurr = 0x07;  // ring page the controller fills next
constexpr UCHAR kMar0 = 0x08;  // MAR0-MAR7: multicast hash filter, first byte in MAR0

constexpr UCHAR kMarAcceptAll = 0xFF;  // a MAR byte that lets every multicast hash through

// ---------------------------------------------------------------------------
// Page 3.

constexpr UCHAR kMiimr = 0x03;  // MII management register (MDC/MDIO bit-banging)

// ---------------------------------------------------------------------------
// MIIMR bits. The host produces every MDC edge and MDIO level itself; the PHY
// drives MDIO only in the turnaround and data clocks of a read.

constexpr UCHAR kMiimrMdc = 0x01;          // write: management clock level
constexpr UCHAR kMiimrMdioOut = 0x02;      // write: MDIO level the host drives
constexpr UCHAR kMiimrMdioRelease = 0x04;  // write: the host lets go of MDIO
constexpr UCHAR kMiimrMdioIn = 0x08;       // read: MDIO level the PHY drives
constexpr UCHAR kMiimrFullDuplex = 0x40;   // the MAC's duplex, taken at TXP: set for full

// ---------------------------------------------------------------------------
// ISR and IMR bits (the same positions in both).

constexpr UCHAR kIsrPrx = 0x01;  // frame received into the ring
constexpr UCHAR kIsrPtx = 0x02;  // frame transmitted
constexpr UCHAR kIsrRxe = 0x04;  // receive error
constexpr UCHAR kIsrTxe = 0x08;  // transmit error
constexpr UCHAR kIsrOvw = 0x10;  // receive ring overwrite warning
constexpr UCHAR kIsrCnt = 0x20;  // a tally counter reached half its range
constexpr UCHAR kIsrRdc = 0x40;  // remote DMA complete; polled, never unmasked
constexpr UCHAR kIsrRst = 0x80;  // the controller has entered the stopped state
constexpr UCHAR kIsrAll = 0xFF;  // acknowledges every status bit

constexpr UCHAR kImrNone = 0x00;                                     // every interrupt masked
constexpr UCHAR kImrNormal = kIsrPrx | kIsrPtx | kIsrTxe | kIsrOvw;  // 0x1B, normal operation

// ---------------------------------------------------------------------------
// RCR bits.

constexpr UCHAR kRcrAb = 0x04;   // accept broadcast
constexpr UCHAR kRcrAm = 0x08;   // accept multicast frames that hit the hash filter
constexpr UCHAR kRcrPro = 0x10;  // accept every physical address
constexpr UCHAR kRcrMon = 0x20;  // monitor: receive and count, store nothing

// ---------------------------------------------------------------------------
// TCR values.

constexpr UCHAR kTcrNormal = 0x00;    // frames go to the wire
constexpr UCHAR kTcrLoopback = 0x02;  // internal loopback (LB0): nothing reaches the wire

// ---------------------------------------------------------------------------
// DCR bits and values.

constexpr UCHAR kDcrWts = 0x01;  // word-wide data transfers
constexpr UCHAR kDcrLs = 0x08;   // normal operation (loopback select off)
constexpr UCHAR kDcrAr = 0x10;   // auto-initialise remote
constexpr UCHAR kDcrFt1 = 0x40;  // FIFO threshold of 8 bytes

constexpr UCHAR kDcrByteWide = kDcrFt1 | kDcrLs;            // 0x48
constexpr UCHAR kDcrWordWide = kDcrFt1 | kDcrLs | kDcrWts;  // 0x49
constexpr UCHAR kDcrProbe = kDcrFt1 | kDcrAr;               // 0x50, card probe only

// ---------------------------------------------------------------------------
// TSR bits.

constexpr UCHAR kTsrPtx = 0x01;  // the last frame was transmitted without error

// ---------------------------------------------------------------------------
// RSR bits, as the first byte of every receive-ring header.

constexpr UCHAR kRsrPrx = 0x01;  // frame received intact
constexpr UCHAR kRsrCrc = 0x02;  // CRC error
constexpr UCHAR kRsrFae = 0x04;  // frame alignment error
constexpr UCHAR kRsrFo = 0x08;   // FIFO overrun
constexpr UCHAR kRsrMpa = 0x10;  // missed frame
constexpr UCHAR kRsrPhy = 0x20;  // multicast or broadcast destination
constexpr UCHAR kRsrDis = 0x40;  // receiver disabled (monitor mode)
constexpr UCHAR kRsrDfr = 0x80;  // deferring

// Status bits that make a ring header unusable: a damaged or missed frame, or
// one received while the receiver was disabled.
constexpr UCHAR kRsrUnusable = kRsrCrc | kRsrFae | kRsrFo | kRsrMpa | kRsrDis;  // 0x5E

// ---------------------------------------------------------------------------
// Vendor register bits.

constexpr UCHAR kVendorInterruptEnable = 0x01;  // the card's interrupt output
constexpr UCHAR kVendorPhyEvent = 0x02;         // a PHY or link event is pending
constexpr UCHAR kVendorOutputOff = 0x00;        // output off, a PHY event left latched

// ---------------------------------------------------------------------------
// Card memory.

constexpr ULONG kCardPageSize = 256;  // a page number is the high byte of a card address

// ---------------------------------------------------------------------------
// PHY registers (IEEE 802.3 clause 22), reached only through MII management
// frames on MIIMR, and the bits the driver uses.

constexpr UCHAR kPhyAddressCount = 32;  // MII addresses 0-31; frames carry five bits

constexpr UCHAR kMiiBmcr = 0x00;    // basic mode control
constexpr UCHAR kMiiBmsr = 0x01;    // basic mode status
constexpr UCHAR kMiiPhyId1 = 0x02;  // identifier, high half
constexpr UCHAR kMiiPhyId2 = 0x03;  // identifier, low half
constexpr UCHAR kMiiAnar = 0x04;    // auto-negotiation advertisement
constexpr UCHAR kMiiAnlpar = 0x05;  // auto-negotiation link partner ability
constexpr UCHAR kMiiAner = 0x06;    // auto-negotiation expansion

constexpr USHORT kBmcrReset = 0x8000;               // reset (self-clearing; reads 1 until done)
constexpr USHORT kBmcrSpeed100 = 0x2000;            // forced speed: 100 Mbit/s
constexpr USHORT kBmcrAutoNegotiate = 0x1000;       // auto-negotiation enable
constexpr USHORT kBmcrRestartNegotiation = 0x0200;  // start negotiating afresh (self-clearing)
constexpr USHORT kBmcrFullDuplex = 0x0100;          // forced duplex: full

constexpr USHORT kBmsrNegotiationComplete = 0x0020;  // auto-negotiation complete
constexpr USHORT kBmsrLinkStatus = 0x0004;           // link up (latches low until read)

constexpr USHORT kAnar10BaseT = 0x0020;
constexpr USHORT kAnar10BaseTFullDuplex = 0x0040;
constexpr USHORT kAnar100BaseTx = 0x0080;
constexpr USHORT kAnar100BaseTxFullDuplex = 0x0100;
constexpr USHORT kAnar100BaseT4 = 0x0200;  // not among what the driver advertises
constexpr USHORT kAnarAllAbilities =
    kAnar10BaseT | kAnar10BaseTFullDuplex | kAnar100BaseTx | kAnar100BaseTxFullDuplex;

// What a PHYID2 read returns when no PHY answers: MDIO floating high or low.
constexpr USHORT kMiiNoPhyHigh = 0xFFFF;
constexpr USHORT kMiiNoPhyLow = 0x0000;

// The PHYs the driver knows by identifier, their vendor status registers and
// the setup one of them needs.
constexpr ULONG kPhyId8201 = 0x00008201;
constexpr UCHAR kMii8201Status = 0x19;
constexpr USHORT kMii8201Status100 = 0x03F9;  // the whole register at 100 Mbit/s

constexpr ULONG kPhyId78E1 = 0x001378E1;
constexpr UCHAR kMii78E1Status = 0x11;
constexpr USHORT kMii78E1Status100 = 0x4000;  // set at 100 Mbit/s
constexpr UCHAR kMii78E1Setup = 0x14;
constexpr USHORT kMii78E1SetupValue = 0x54D2;  // written once, before the PHY is read

constexpr ULONG kPhyId5C21 = 0x20005C21;
constexpr UCHAR kMii5C21Status = 0x10;
constexpr USHORT kMii5C21Status10 = 0x0002;  // set at 10 Mbit/s
