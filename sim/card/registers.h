// The controller's register offsets and bits, as the card decodes them.
#pragma once

#include <cstdint>

namespace kl::sim::card::reg {

// Offsets in the 16-register window; CR is at 0x00 on every page.
inline constexpr std::uint8_t kCr = 0x00;
inline constexpr std::uint8_t kWindowSize = 0x10;

// Page 0.
inline constexpr std::uint8_t kPstart = 0x01;
inline constexpr std::uint8_t kPstop = 0x02;
inline constexpr std::uint8_t kBnry = 0x03;
inline constexpr std::uint8_t kTpsrTsr = 0x04;
inline constexpr std::uint8_t kTbcr0 = 0x05;
inline constexpr std::uint8_t kTbcr1 = 0x06;
inline constexpr std::uint8_t kIsr = 0x07;
inline constexpr std::uint8_t kRsar0Crda0 = 0x08;
inline constexpr std::uint8_t kRsar1Crda1 = 0x09;
inline constexpr std::uint8_t kRbcr0 = 0x0A;
inline constexpr std::uint8_t kRbcr1Vendor = 0x0B;
inline constexpr std::uint8_t kRcrRsr = 0x0C;
inline constexpr std::uint8_t kTcrCntr0 = 0x0D;
inline constexpr std::uint8_t kDcrCntr1 = 0x0E;
inline constexpr std::uint8_t kImrCntr2 = 0x0F;

// Page 1.
inline constexpr std::uint8_t kPar0 = 0x01;
inline constexpr std::uint8_t kCurr = 0x07;
inline constexpr std::uint8_t kMar0 = 0x08;

// Page 3.
inline constexpr std::uint8_t kMiimr = 0x03;

// CR.
inline constexpr std::uint8_t kCrStp = 0x01;
inline constexpr std::uint8_t kCrSta = 0x02;
inline constexpr std::uint8_t kCrTxp = 0x04;
inline constexpr std::uint8_t kCrRdMask = 0x38;
inline constexpr std::uint8_t kCrRdRead = 0x08;
inline constexpr std::uint8_t kCrRdWrite = 0x10;
inline constexpr std::uint8_t kCrRdAbort = 0x20;
inline constexpr std::uint8_t kCrPageShift = 6;
// The command the controller holds after a hardware reset: stopped, page 0,
// remote DMA aborted.
inline constexpr std::uint8_t kCrAfterReset = kCrRdAbort | kCrStp;

// ISR and IMR.
inline constexpr std::uint8_t kIsrPrx = 0x01;
inline constexpr std::uint8_t kIsrPtx = 0x02;
inline constexpr std::uint8_t kIsrRxe = 0x04;
inline constexpr std::uint8_t kIsrTxe = 0x08;
inline constexpr std::uint8_t kIsrOvw = 0x10;
inline constexpr std::uint8_t kIsrCnt = 0x20;
inline constexpr std::uint8_t kIsrRdc = 0x40;
inline constexpr std::uint8_t kIsrRst = 0x80;

// TSR.
inline constexpr std::uint8_t kTsrPtx = 0x01;
inline constexpr std::uint8_t kTsrCol = 0x04;  // sent after one or more collisions
inline constexpr std::uint8_t kTsrAbt = 0x08;
inline constexpr std::uint8_t kTsrCrs = 0x10;  // carrier lost: nothing took the frame
inline constexpr std::uint8_t kTsrOwc = 0x80;  // a collision after the slot time

// RCR.
inline constexpr std::uint8_t kRcrAb = 0x04;
inline constexpr std::uint8_t kRcrAm = 0x08;
inline constexpr std::uint8_t kRcrPro = 0x10;
inline constexpr std::uint8_t kRcrMon = 0x20;

// RSR, also the status byte of a ring header.
inline constexpr std::uint8_t kRsrPrx = 0x01;
inline constexpr std::uint8_t kRsrCrc = 0x02;
inline constexpr std::uint8_t kRsrFae = 0x04;
inline constexpr std::uint8_t kRsrMpa = 0x10;
inline constexpr std::uint8_t kRsrPhy = 0x20;
inline constexpr std::uint8_t kRsrDis = 0x40;

// TCR: the loopback field; 0 is normal operation on the wire.
inline constexpr std::uint8_t kTcrLoopbackMask = 0x06;

// DCR.
inline constexpr std::uint8_t kDcrWts = 0x01;

// MIIMR: the MDIO level sampled from the PHY, and the MAC's duplex (set:
// full duplex), which the transmitter samples at each TXP.
inline constexpr std::uint8_t kMiimrMdioIn = 0x08;
inline constexpr std::uint8_t kMiimrFullDuplex = 0x40;

}  // namespace kl::sim::card::reg
