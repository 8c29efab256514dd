#include "info/information.h"
#include "nic/register_access.h"
#include "nic/registers.h"

namespace {

// The 802.3 CRC-32 generator polynomial, most significant term first.
constexpr ULONG kCrcPolynomial = 0x04C11DB7;
constexpr ULONG kCrcInitial = 0xFFFFFFFF;
constexpr ULONG kCrcTopBit = 0x80000000;

// The top six CRC bits pick the filter bit: three for the MAR byte, three for
// the bit within it.
constexpr unsigned kHashByteShift = 29;
constexpr unsigned kHashBitShift = 26;
constexpr ULONG kHashBitMask = 0x07;

// A hash filter that lets every group through.
constexpr UCHAR kOpenFilter[kMulticastFilterSize] = {kMarAcceptAll, kMarAcceptAll, kMarAcceptAll,
                                                     kMarAcceptAll, kMarAcceptAll, kMarAcceptAll,
                                                     kMarAcceptAll, kMarAcceptAll};

VOID WriteMarBytes(const Adapter* adapter, const UCHAR* bytes) {
  WriteRegister(adapter, kCr, kCrPage1StartAbortDma);
  for (ULONG i = 0; i < kMulticastFilterSize; ++i) {
    WriteRegister(adapter, static_cast<UCHAR>(kMar0 + i), bytes[i]);
  }
  WriteRegister(adapter, kCr, kCrStartAbortDma);
}

}  // namespace

ULONG MulticastCrc(const UCHAR* bytes, ULONG length) {
  ULONG crc = kCrcInitial;
  for (ULONG i = 0; i < length; ++i) {
    UCHAR data = bytes[i];
    for (int bit = 0; bit < 8; ++bit, data >>= 1) {
      const BOOLEAN feedback = ((crc & kCrcTopBit) != 0) != ((data & 1) != 0);
      crc <<= 1;
      if (feedback) {
        crc ^= kCrcPolynomial;
      }
    }
  }
  return crc;
}

VOID MulticastHashBit(const UCHAR* address, PUCHAR byteIndex, PUCHAR byteMask) {
  const ULONG crc = MulticastCrc(address, kEthernetAddressLength);
  *byteIndex = static_cast<UCHAR>(crc >> kHashByteShift);
  *byteMask = static_cast<UCHAR>(1U << ((crc >> kHashBitShift) & kHashBitMask));
}

VOID BuildMulticastFilter(Adapter* adapter) {
  NdisZeroMemory(adapter->MulticastFilter, sizeof(adapter->MulticastFilter));
  for (ULONG entry = adapter->MulticastCount; entry-- > 0;) {
    UCHAR index = 0;
    UCHAR mask = 0;
    MulticastHashBit(adapter->MulticastList[entry], &index, &mask);
    adapter->MulticastFilter[index] |= mask;
  }
}

// RCR is a page-0 register, and page 0 is selected at rest.
BOOLEAN NDIS_API SyncWriteRcr(PVOID context) {
  const Adapter* adapter = static_cast<const Adapter*>(context);
  WriteRegister(adapter, kRcr, adapter->RcrValue);
  return FALSE;
}

BOOLEAN NDIS_API SyncWriteMarAllOnes(PVOID context) {
  WriteMarBytes(static_cast<const Adapter*>(context), kOpenFilter);
  return FALSE;
}

BOOLEAN NDIS_API SyncWriteMarFromFilter(PVOID context) {
  const Adapter* adapter = static_cast<const Adapter*>(context);
  WriteMarBytes(adapter, adapter->MulticastFilter);
  return FALSE;
}
