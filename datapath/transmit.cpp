#include "driver/miniport_handlers.h"

NDIS_STATUS NDIS_API MiniportSend(NDIS_HANDLE /*MiniportAdapterContext*/, PNDIS_PACKET /*Packet*/,
                                  UINT /*Flags*/) {
  // The transmit path is not built yet: every packet is refused.
  return NDIS_STATUS_FAILURE;
}
