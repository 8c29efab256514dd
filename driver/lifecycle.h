// The routines behind initialize, halt and reset that other code and the
// tests reach directly.
#pragma once

#include "driver/adapter.h"
#include "platform/ndis.h"

// Logs and refuses a rejected configuration; otherwise registers the
// adapter's attributes and ports, tests the card, lays out its memory, reads
// the station address, starts the controller and connects the interrupt,
// giving back on failure whatever it took.
NDIS_STATUS RegisterAdapterResources(Adapter* adapter, BOOLEAN ConfigError, ULONG ConfigErrorValue);

// A quick presence test: masks the controller, stops it and checks that CR
// reads back stopped.
BOOLEAN ProbeController(Adapter* adapter);

// Reads the station address into PermanentAddress, from attribute memory on
// the PC Card and from the station PROM otherwise, and uses it as
// CurrentAddress unless one was configured. FALSE on a short attribute read.
BOOLEAN ReadStationAddress(Adapter* adapter);

// The periodic timer's function; it has nothing to do.
VOID NDIS_API TimerTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                        PVOID SystemSpecific3);
