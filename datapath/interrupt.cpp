#include "driver/miniport_handlers.h"

VOID NDIS_API MiniportISR(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                          NDIS_HANDLE /*MiniportAdapterContext*/) {
  // Interrupt service is not built yet: the interrupt is never claimed.
  *InterruptRecognized = FALSE;
  *QueueMiniportHandleInterrupt = FALSE;
}

VOID NDIS_API MiniportDisableInterrupt(NDIS_HANDLE /*MiniportAdapterContext*/) {
  // Not built yet.
}

VOID NDIS_API MiniportEnableInterrupt(NDIS_HANDLE /*MiniportAdapterContext*/) {
  // Not built yet.
}

VOID NDIS_API MiniportHandleInterrupt(NDIS_HANDLE /*MiniportAdapterContext*/) {
  // Not built yet.
}
