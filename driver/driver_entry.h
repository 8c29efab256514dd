// The driver's entry point and its driver-wide state.
#pragma once

#include "driver/adapter.h"
#include "platform/ndis.h"

// Handle NdisInitializeWrapper returned; names the driver to NDIS.
extern NDIS_HANDLE WrapperHandle;

// Running adapters, chained through Adapter::Next; null when there are none.
// Changed only by bring-up and halt, which NDIS runs at passive level.
extern Adapter* AdapterList;

// Called once by the system when the driver is loaded: binds the driver to
// NDIS and registers its handlers as an NDIS 4.0 miniport. Touches no
// hardware.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
