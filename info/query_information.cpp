#include "driver/miniport_handlers.h"

NDIS_STATUS NDIS_API MiniportQueryInformation(NDIS_HANDLE /*MiniportAdapterContext*/,
                                              NDIS_OID /*Oid*/, PVOID /*InformationBuffer*/,
                                              ULONG /*InformationBufferLength*/,
                                              PULONG /*BytesWritten*/, PULONG /*BytesNeeded*/) {
  // Queries are not answered yet; neither out-parameter is written.
  return NDIS_STATUS_NOT_SUPPORTED;
}
