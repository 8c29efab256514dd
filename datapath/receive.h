// The receive path: frames the controller has written into the receive ring,
// each behind a 4-byte ring header, taken out and indicated to NDIS with a
// lookahead copy; the rest of a frame crosses the bus only when a protocol
// asks for it during the indication (MiniportTransferData).
//
// The ring runs from page RxFirstPage (PSTART) up to RxStopPage (PSTOP); the
// controller fills it at CURR, and BNRY, one page behind NextPacketPage,
// tells it where the driver's unread frames begin. A ring that overflowed is
// recovered by stopping the controller, emptying the ring in loopback and
// going back on the wire.
#pragma once

#include "driver/adapter.h"

// Takes frames from NextPacketPage up to CURR, indicating each, and moves
// BNRY behind them. TRUE when the ring was found empty; FALSE when the frame
// budget ran out first and frames may be left. Runs the overflow recovery
// when Overflowed is set.
BOOLEAN ReceivePass(Adapter* adapter);

// Reads the ring header at NextPacketPage (looking once more at a shifted
// position when it does not make sense where it is) and stores its fields
// and RxDataAddress. FALSE when the header is unusable and the ring must be
// skipped to CURR.
BOOLEAN FetchRingHeader(Adapter* adapter);

// Checks the stored header once more and indicates the frame whose header
// and lookahead are in LookaheadBuffer. TRUE when it was indicated, FALSE
// when it was declined.
BOOLEAN IndicateFrame(Adapter* adapter);

// The first half of a receive-overflow recovery: stops the controller, notes
// whether a transmission was cut short and must be sent again, and restarts
// it in loopback so that the ring can be emptied.
VOID OverflowStop(Adapter* adapter);
