// Port access to the controller, relative to the adapter's mapped port base.
//
// Register accesses are byte-wide; only the data port (and the two settling
// reads of a remote read) use 16-bit cycles. Every access goes to the HAL,
// which neither merges nor reorders them: reads have side effects on the card.
#pragma once

#include "driver/adapter.h"
#include "nic/registers.h"
#include "platform/hal.h"

// The port at offset from the base. The base is a port number dressed as a
// pointer, and may be 0 (a PC Card's ports can sit anywhere), so the sum is
// taken on the number.
inline PUCHAR Port(const Adapter* adapter, UCHAR offset) {
  return reinterpret_cast<PUCHAR>(reinterpret_cast<ULONG_PTR>(adapter->IoPort) + offset);
}

inline UCHAR ReadRegister(const Adapter* adapter, UCHAR offset) {
  return READ_PORT_UCHAR(Port(adapter, offset));
}

inline VOID WriteRegister(const Adapter* adapter, UCHAR offset, UCHAR value) {
  WRITE_PORT_UCHAR(Port(adapter, offset), value);
}

inline PUSHORT WordPort(const Adapter* adapter, UCHAR offset) {
  return reinterpret_cast<PUSHORT>(Port(adapter, offset));
}

inline USHORT ReadDataWord(const Adapter* adapter) {
  return READ_PORT_USHORT(WordPort(adapter, kDataPort));
}

inline VOID WriteDataWord(const Adapter* adapter, USHORT value) {
  WRITE_PORT_USHORT(WordPort(adapter, kDataPort), value);
}
