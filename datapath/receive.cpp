#include "driver/miniport_handlers.h"

NDIS_STATUS NDIS_API MiniportTransferData(PNDIS_PACKET /*Packet*/, PUINT /*BytesTransferred*/,
                                          NDIS_HANDLE /*MiniportAdapterContext*/,
                                          NDIS_HANDLE /*MiniportReceiveContext*/,
                                          UINT /*ByteOffset*/, UINT /*BytesToTransfer*/) {
  // The receive path is not built yet: nothing can be transferred.
  return NDIS_STATUS_FAILURE;
}
