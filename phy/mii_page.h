// Register page 3, where MIIMR lives, selected around an access and the
// caller's page given back afterwards.
#pragma once

#include "driver/adapter.h"
#include "nic/register_access.h"
#include "nic/registers.h"

// Selects page 3 and returns the CR value found, for RestorePage.
inline UCHAR SelectMiiPage(Adapter* adapter) {
  const UCHAR found = ReadRegister(adapter, kCr);
  WriteRegister(adapter, kCr, kCrPage3Start);
  return found;
}

// Writes back the CR value found. TXP is cleared so that giving the page back
// can never start a transmission.
inline VOID RestorePage(Adapter* adapter, UCHAR found) {
  WriteRegister(adapter, kCr, static_cast<UCHAR>(found & ~kCrTxp));
}
