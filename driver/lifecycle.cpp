#include "driver/miniport_handlers.h"

// Bring-up runs only at passive level during initialisation, so it may be paged.
NDIS_PAGEABLE_CODE NDIS_STATUS NDIS_API MiniportInitialize(
    PNDIS_STATUS /*OpenErrorStatus*/, PUINT /*SelectedMediumIndex*/, PNDIS_MEDIUM /*MediumArray*/,
    UINT /*MediumArraySize*/, NDIS_HANDLE /*MiniportAdapterHandle*/,
    NDIS_HANDLE /*WrapperConfigurationContext*/) {
  // Bring-up is not built yet: no adapter can be initialised.
  return NDIS_STATUS_FAILURE;
}

VOID NDIS_API MiniportHalt(NDIS_HANDLE /*MiniportAdapterContext*/) {
  // Halt is not built yet; no adapter can have been initialised.
}

NDIS_STATUS NDIS_API MiniportReset(PBOOLEAN /*AddressingReset*/,
                                   NDIS_HANDLE /*MiniportAdapterContext*/) {
  // Reset is not built yet.
  return NDIS_STATUS_FAILURE;
}
