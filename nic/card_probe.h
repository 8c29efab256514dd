// The card test of bring-up: does the controller answer, how wide is the
// card's data path, and where does its packet memory lie.
//
// Runs once per adapter while it is being initialised, before its interrupt
// is connected; everything here is initialisation code.
#pragma once

#include "driver/adapter.h"
#include "nic/registers.h"

// Receive-ring pages a card must offer besides its transmit buffers: one
// frame of the largest size with its ring header.
constexpr ULONG kMinimumRxRingPages = 6;
// The least packet memory bring-up accepts: the transmit buffers and a ring
// of that size.
constexpr ULONG kMinimumRamSize = (kTxBufferCount + kMinimumRxRingPages) * kCardPageSize;

// Brings up the PHY, puts the controller through a fixed initialisation,
// checks that it reports the stopped state, decides the bus width and finds
// the packet memory. Sets EightBitMode, RamStart and RamSize. FALSE when the
// card does not answer as it should, or its memory is too small to be used;
// the controller is then stopped unless it never stopped in the first place.
BOOLEAN CardResetAndTest(Adapter* adapter);

// Resets the card and reads its 32-byte station PROM in byte mode, looking at
// bytes 16-31 for a bus-width signature: 'W' 'W' marks a word-wide card and
// wins over 'B' 'B', which marks a byte-wide one. Sets EightBitMode; FALSE
// when the controller does not stop cleanly or no signature is found.
BOOLEAN DetectBusWidth(Adapter* adapter);

// Searches card addresses 0x400-0xFFFF in 1 KiB blocks for memory that holds
// a test pattern, finds where it ends and verifies all of it. Sets RamStart
// and RamSize; FALSE when no memory is found or any of it fails.
BOOLEAN FindCardMemory(Adapter* adapter);
