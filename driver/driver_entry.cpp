#include "driver/driver_entry.h"

#include "driver/miniport_handlers.h"

NDIS_HANDLE WrapperHandle;
Adapter* AdapterList;

namespace {

constexpr UCHAR kNdisMajorVersion = 4;
constexpr UCHAR kNdisMinorVersion = 0;

}  // namespace

extern "C" NDIS_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                     PUNICODE_STRING RegistryPath) {
  NdisInitializeWrapper(&WrapperHandle, DriverObject, RegistryPath, nullptr);
  AdapterList = nullptr;

  // No hang check, reconfiguration, packet return, multi-packet send or
  // asynchronous allocation: those members stay null.
  NDIS40_MINIPORT_CHARACTERISTICS characteristics;
  NdisZeroMemory(&characteristics, sizeof(characteristics));
  characteristics.MajorNdisVersion = kNdisMajorVersion;
  characteristics.MinorNdisVersion = kNdisMinorVersion;
  characteristics.DisableInterruptHandler = MiniportDisableInterrupt;
  characteristics.EnableInterruptHandler = MiniportEnableInterrupt;
  characteristics.HaltHandler = MiniportHalt;
  characteristics.HandleInterruptHandler = MiniportHandleInterrupt;
  characteristics.InitializeHandler = MiniportInitialize;
  characteristics.ISRHandler = MiniportISR;
  characteristics.QueryInformationHandler = MiniportQueryInformation;
  characteristics.ResetHandler = MiniportReset;
  characteristics.SendHandler = MiniportSend;
  characteristics.SetInformationHandler = MiniportSetInformation;
  characteristics.TransferDataHandler = MiniportTransferData;

  const NDIS_STATUS status =
      NdisMRegisterMiniport(WrapperHandle, &characteristics, sizeof(characteristics));
  return status == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
