// MII management frames (IEEE 802.3 clause 22), bit-banged through MIIMR.
//
// The controller has no management engine: every MDC edge is a write of
// MIIMR followed by a 1 us stall, so each clock phase lasts at least 1 us.
// Data is set up while MDC is low and held while it is high; the PHY samples
// on the rising edge. Every frame is 67 clocks: 32 preamble ones, start,
// opcode, five address bits, five register bits, turnaround, 16 data bits and
// three idle ones.
#include "phy/mii_page.h"
#include "phy/phy.h"
#include "platform/hal.h"

namespace {

constexpr ULONG kMiiClockPhaseUs = 1;

constexpr ULONG kPreambleBits = 32;
constexpr ULONG kIdleBits = 3;
constexpr ULONG kAddressBits = 5;
constexpr ULONG kDataBits = 16;
constexpr ULONG kTurnaroundClocks = 2;

// Start (0 1) and the two opcodes, as two-bit fields sent high bit first.
constexpr ULONG kFrameStart = 0x1;
constexpr ULONG kOpcodeWrite = 0x1;
constexpr ULONG kOpcodeRead = 0x2;
// A write frame's turnaround, driven by the host: 1 then 0.
constexpr ULONG kWriteTurnaround = 0x2;
constexpr ULONG kFieldBits = 2;
// Preamble and idle bits are all ones.
constexpr ULONG kOnes = 0xFFFFFFFF;

VOID MiiClockWrite(Adapter* adapter, UCHAR value) {
  WriteRegister(adapter, kMiimr, value);
  KeStallExecutionProcessor(kMiiClockPhaseUs);
}

VOID MiiSendBit(Adapter* adapter, BOOLEAN one) {
  const UCHAR level = one ? kMiimrMdioOut : 0;
  MiiClockWrite(adapter, level);
  MiiClockWrite(adapter, static_cast<UCHAR>(level | kMiimrMdc));
}

// Sends the low `count` bits of `bits`, most significant first.
VOID MiiSendBits(Adapter* adapter, ULONG bits, ULONG count) {
  for (ULONG mask = static_cast<ULONG>(1) << (count - 1); mask != 0; mask >>= 1) {
    MiiSendBit(adapter, (bits & mask) != 0);
  }
}

// One clock with MDIO left to the PHY.
VOID MiiReleasedClock(Adapter* adapter) {
  MiiClockWrite(adapter, kMiimrMdioRelease);
  MiiClockWrite(adapter, kMiimrMdioRelease | kMiimrMdc);
}

// Page 3, then everything up to the turnaround. Returns the CR value found.
UCHAR MiiFrameHead(Adapter* adapter, ULONG opcode, UCHAR reg) {
  const UCHAR found = SelectMiiPage(adapter);
  MiiSendBits(adapter, kOnes, kPreambleBits);
  MiiSendBits(adapter, kFrameStart, kFieldBits);
  MiiSendBits(adapter, opcode, kFieldBits);
  MiiSendBits(adapter, adapter->PhyAddress, kAddressBits);
  MiiSendBits(adapter, reg, kAddressBits);
  return found;
}

// Idle ones with the host driving MDIO again, then the caller's page.
VOID MiiFrameTail(Adapter* adapter, UCHAR found) {
  MiiSendBits(adapter, kOnes, kIdleBits);
  RestorePage(adapter, found);
}

}  // namespace

VOID MiiWrite(Adapter* adapter, UCHAR reg, USHORT value) {
  const UCHAR found = MiiFrameHead(adapter, kOpcodeWrite, reg);
  MiiSendBits(adapter, kWriteTurnaround, kFieldBits);
  MiiSendBits(adapter, value, kDataBits);
  MiiFrameTail(adapter, found);
}

USHORT MiiRead(Adapter* adapter, UCHAR reg) {
  const UCHAR found = MiiFrameHead(adapter, kOpcodeRead, reg);
  for (ULONG clock = 0; clock < kTurnaroundClocks; ++clock) {
    MiiReleasedClock(adapter);
  }
  // The PHY puts each bit out after a rising edge, bit 15 after the second
  // turnaround clock; it is sampled before the next clock pulse.
  USHORT value = 0;
  for (ULONG bit = 0; bit < kDataBits; ++bit) {
    value = static_cast<USHORT>(value << 1);
    if (ReadRegister(adapter, kMiimr) & kMiimrMdioIn) {
      value |= 1;
    }
    MiiReleasedClock(adapter);
  }
  MiiFrameTail(adapter, found);
  return value;
}
