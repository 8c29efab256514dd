#include "nic/remote_dma.h"

#include "nic/register_access.h"
#include "nic/registers.h"
#include "platform/hal.h"

namespace {

constexpr ULONG kCompletePolls = 65535;
constexpr ULONG kCompletePollStallUs = 4;
constexpr ULONG kAddressPolls = 65535;
constexpr ULONG kAddressPollStallUs = 1;

// Bytes in one data-port word, and the count a one-word transfer programs.
constexpr ULONG kWordBytes = 2;

UCHAR LowByte(ULONG value) { return static_cast<UCHAR>(value); }
UCHAR HighByte(ULONG value) { return static_cast<UCHAR>(value >> 8); }

USHORT MakeWord(UCHAR low, UCHAR high) { return static_cast<USHORT>(low | (high << 8)); }

// After a remote read command the controller needs time to fetch the first
// bytes into its FIFO; two discarded word reads at the command port give it.
VOID SettleRemoteRead(const Adapter* adapter) {
  (VOID) READ_PORT_USHORT(WordPort(adapter, kCr));
  (VOID) READ_PORT_USHORT(WordPort(adapter, kCr));
}

}  // namespace

VOID DmaSetup(Adapter* adapter, ULONG cardAddress, ULONG count, UCHAR command) {
  WriteRegister(adapter, kRsar0, LowByte(cardAddress));
  WriteRegister(adapter, kRsar1, HighByte(cardAddress));
  WriteRegister(adapter, kRbcr0, LowByte(count));
  WriteRegister(adapter, kRbcr1, HighByte(count));
  WriteRegister(adapter, kCr, command);
}

BOOLEAN DmaWaitComplete(Adapter* adapter) {
  for (ULONG poll = 0; poll < kCompletePolls; ++poll) {
    const UCHAR status = ReadRegister(adapter, kIsr);
    if (status == kCardGone) {
      return FALSE;
    }
    if (status & kIsrRdc) {
      break;
    }
    KeStallExecutionProcessor(kCompletePollStallUs);
  }
  return TRUE;
}

VOID DmaPreparatoryRead(Adapter* adapter, ULONG cardAddress) {
  DmaSetup(adapter, cardAddress, kWordBytes, kCrStartRemoteRead);
  if (adapter->EightBitMode) {
    (VOID) ReadRegister(adapter, kDataPort);
    (VOID) ReadRegister(adapter, kDataPort);
  } else {
    (VOID) ReadDataWord(adapter);
  }
}

BOOLEAN DmaPollAddress(Adapter* adapter, ULONG startAddress) {
  const USHORT start = static_cast<USHORT>(startAddress);
  for (ULONG poll = 0; poll < kAddressPolls; ++poll) {
    const UCHAR low = ReadRegister(adapter, kCrda0);
    const UCHAR high = ReadRegister(adapter, kCrda1);
    if (MakeWord(low, high) != start) {
      return TRUE;
    }
    KeStallExecutionProcessor(kAddressPollStallUs);
  }
  return FALSE;
}

BOOLEAN DmaReadFromCard(Adapter* adapter, PUCHAR destination, ULONG cardAddress, ULONG length) {
  if (length == 0) {
    return TRUE;
  }
  (VOID) ReadRegister(adapter, kCr);

  if (adapter->EightBitMode) {
    DmaSetup(adapter, cardAddress, length, kCrStartRemoteRead);
    SettleRemoteRead(adapter);
    READ_PORT_BUFFER_UCHAR(Port(adapter, kDataPort), destination, length);
    return DmaWaitComplete(adapter);
  }

  // Word mode. An odd first byte is the high half of the word that holds it.
  if (cardAddress & 1) {
    DmaSetup(adapter, cardAddress - 1, kWordBytes, kCrStartRemoteRead);
    SettleRemoteRead(adapter);
    destination[0] = HighByte(ReadDataWord(adapter));
    if (!DmaWaitComplete(adapter)) {
      return FALSE;
    }
    ++cardAddress;
    ++destination;
    --length;
  }

  // From an even address: whole words, then for an odd length one more word
  // of which only the low byte belongs to the caller.
  const ULONG words = length / kWordBytes;
  const BOOLEAN oddTail = (length & 1) != 0;
  DmaSetup(adapter, cardAddress, length + (oddTail ? 1 : 0), kCrStartRemoteRead);
  if (words != 0) {
    READ_PORT_BUFFER_USHORT(WordPort(adapter, kDataPort), reinterpret_cast<PUSHORT>(destination),
                            words);
  }
  if (oddTail) {
    destination[length - 1] = LowByte(ReadDataWord(adapter));
  }
  return DmaWaitComplete(adapter);
}

BOOLEAN DmaWriteToCard(Adapter* adapter, ULONG cardAddress, const UCHAR* source, ULONG length) {
  if (length == 0) {
    return TRUE;
  }
  // The HAL's string write only reads the buffer, but its prototype is not
  // const-qualified.
  PUCHAR bytes = const_cast<PUCHAR>(source);

  // Word mode at an odd address: the card takes whole words, so the first
  // byte is merged into the word that holds it, keeping the byte before it.
  if (!adapter->EightBitMode && (cardAddress & 1)) {
    DmaSetup(adapter, cardAddress - 1, kWordBytes, kCrStartRemoteRead);
    const UCHAR kept = LowByte(ReadDataWord(adapter));

    DmaPreparatoryRead(adapter, cardAddress + 1);
    if (!DmaPollAddress(adapter, cardAddress + 1)) {
      return FALSE;
    }
    DmaSetup(adapter, cardAddress - 1, kWordBytes, kCrStartRemoteWrite);
    WriteDataWord(adapter, MakeWord(kept, bytes[0]));
    if (!DmaWaitComplete(adapter)) {
      return FALSE;
    }
    ++cardAddress;
    ++bytes;
    --length;
  }

  // The preparatory read starts at the next even address (only byte mode can
  // still be odd here); the write itself starts where asked.
  const ULONG evenStart = (cardAddress + 1) & ~static_cast<ULONG>(1);
  DmaPreparatoryRead(adapter, evenStart);
  if (!DmaPollAddress(adapter, evenStart)) {
    return FALSE;
  }

  DmaSetup(adapter, cardAddress, length, kCrStartRemoteWrite);
  if (adapter->EightBitMode) {
    WRITE_PORT_BUFFER_UCHAR(Port(adapter, kDataPort), bytes, length);
  } else {
    const ULONG words = length / kWordBytes;
    if (words != 0) {
      WRITE_PORT_BUFFER_USHORT(WordPort(adapter, kDataPort), reinterpret_cast<PUSHORT>(bytes),
                               words);
    }
    if (length & 1) {
      WriteDataWord(adapter, MakeWord(bytes[length - 1], 0));
    }
  }
  return DmaWaitComplete(adapter);
}
