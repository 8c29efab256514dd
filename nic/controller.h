// Controller sequences: start, stop and restart, and the small register
// operations of the data path.
//
// Every sequence expects register page 0 on entry and leaves page 0 selected:
// the interrupt handlers access page-0 registers without writing CR.
#pragma once

#include "driver/adapter.h"

// Programs every register from the record and starts the controller in
// internal loopback with an empty receive ring. FALSE when the controller does
// not acknowledge the stop command; then only that command has been written
// and the record is unchanged.
BOOLEAN ControllerStart(Adapter* adapter);

// Stops the controller, waits (bounded) for the stopped state and starts it
// again in internal loopback. The ring registers are left as they are.
VOID ControllerStop(Adapter* adapter);

// Stop, settle, start, and back on the wire. A failed start is logged as a
// hardware failure and leaves the controller in loopback. Runs only while
// the adapter's interrupt is registered: the start is made with it held off.
BOOLEAN ControllerRestart(Adapter* adapter);

// The bare stop command, with remote DMA aborted.
VOID StopCommand(Adapter* adapter);

// Samples CURR into CurrentPage; the controller keeps running.
VOID ReadCurrentPage(Adapter* adapter);

// Samples TSR into LastTsr.
VOID ReadTransmitStatus(Adapter* adapter);

// Moves BNRY one page behind NextPacketPage, wrapping at the ring's start.
VOID WriteBoundary(Adapter* adapter);

// Adds the three tally counters (cleared by the read) to the statistics.
VOID ReadTallyCounters(Adapter* adapter);

// Reads the tally counters when a receive error is among the accumulated
// interrupt causes.
VOID ReadTallyCountersOnError(Adapter* adapter);
