#include "driver/miniport_handlers.h"

NDIS_STATUS NDIS_API MiniportSetInformation(NDIS_HANDLE /*MiniportAdapterContext*/,
                                            NDIS_OID /*Oid*/, PVOID /*InformationBuffer*/,
                                            ULONG /*InformationBufferLength*/, PULONG /*BytesRead*/,
                                            PULONG /*BytesNeeded*/) {
  // Sets are not applied yet; neither out-parameter is written.
  return NDIS_STATUS_NOT_SUPPORTED;
}
