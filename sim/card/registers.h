// The controller's bits and fields the card model acts on. Single bits are
// taken from the register table by the names it gives them.
#pragma once

#include <cstdint>

#include "sim/card/register_table.h"

namespace kl::sim::card::reg {

// CR: the run state and TXP; RD, bits 3-5, is the remote-DMA command and PS,
// bits 6-7, the page select.
inline constexpr std::uint8_t kCrStp = bitOf(Register::Cr, "STP");
inline constexpr std::uint8_t kCrSta = bitOf(Register::Cr, "STA");
inline constexpr std::uint8_t kCrTxp = bitOf(Register::Cr, "TXP");
inline constexpr std::uint8_t kCrRdMask = 0x38;
inline constexpr std::uint8_t kCrRdRead = 0x08;
inline constexpr std::uint8_t kCrRdWrite = 0x10;
inline constexpr std::uint8_t kCrRdAbort = 0x20;
inline constexpr std::uint8_t kCrPageShift = 6;
// The command the controller holds after a hardware reset: stopped, page 0,
// remote DMA aborted.
inline constexpr std::uint8_t kCrAfterReset = registerInfo(Register::Cr).resetValue;

// ISR and IMR.
inline constexpr std::uint8_t kIsrPrx = bitOf(Register::Isr, "PRX");
inline constexpr std::uint8_t kIsrPtx = bitOf(Register::Isr, "PTX");
inline constexpr std::uint8_t kIsrRxe = bitOf(Register::Isr, "RXE");
inline constexpr std::uint8_t kIsrTxe = bitOf(Register::Isr, "TXE");
inline constexpr std::uint8_t kIsrOvw = bitOf(Register::Isr, "OVW");
inline constexpr std::uint8_t kIsrCnt = bitOf(Register::Isr, "CNT");
inline constexpr std::uint8_t kIsrRdc = bitOf(Register::Isr, "RDC");
inline constexpr std::uint8_t kIsrRst = bitOf(Register::Isr, "RST");

// TSR.
inline constexpr std::uint8_t kTsrPtx = bitOf(Register::Tsr, "PTX");
inline constexpr std::uint8_t kTsrCol = bitOf(Register::Tsr, "COL");  // sent after collisions
inline constexpr std::uint8_t kTsrAbt = bitOf(Register::Tsr, "ABT");
inline constexpr std::uint8_t kTsrCrs = bitOf(Register::Tsr, "CRS");  // carrier lost
inline constexpr std::uint8_t kTsrOwc = bitOf(Register::Tsr, "OWC");  // collision after the slot

// RCR.
inline constexpr std::uint8_t kRcrAb = bitOf(Register::Rcr, "AB");
inline constexpr std::uint8_t kRcrAm = bitOf(Register::Rcr, "AM");
inline constexpr std::uint8_t kRcrPro = bitOf(Register::Rcr, "PRO");
inline constexpr std::uint8_t kRcrMon = bitOf(Register::Rcr, "MON");

// RSR, also the status byte of a ring header.
inline constexpr std::uint8_t kRsrPrx = bitOf(Register::Rsr, "PRX");
inline constexpr std::uint8_t kRsrCrc = bitOf(Register::Rsr, "CRC");
inline constexpr std::uint8_t kRsrFae = bitOf(Register::Rsr, "FAE");
inline constexpr std::uint8_t kRsrMpa = bitOf(Register::Rsr, "MPA");
inline constexpr std::uint8_t kRsrPhy = bitOf(Register::Rsr, "PHY");
inline constexpr std::uint8_t kRsrDis = bitOf(Register::Rsr, "DIS");

// TCR: LB, the loopback field; 0 is normal operation on the wire.
inline constexpr std::uint8_t kTcrLoopbackMask = 0x06;

// DCR.
inline constexpr std::uint8_t kDcrWts = bitOf(Register::Dcr, "WTS");

// MIIMR: the MDIO level sampled from the PHY, and the MAC's duplex (set:
// full duplex), which the transmitter samples at each TXP.
inline constexpr std::uint8_t kMiimrMdioIn = bitOf(Register::Miimr, "MDIO in");
inline constexpr std::uint8_t kMiimrFullDuplex = bitOf(Register::Miimr, "full duplex");

}  // namespace kl::sim::card::reg
