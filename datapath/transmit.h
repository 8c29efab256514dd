// The transmit path: the send queue, the ring of 256-byte transmit buffers at
// the start of card memory, and the controller's transmitter.
//
// A packet is copied into one or more consecutive buffers starting at
// NextTxFill and completed to NDIS as soon as its bytes are on the card; the
// controller sends one packet at a time, the one whose first buffer is
// CurrentTx. A packet never wraps from the last buffer to the first: when it
// does not fit before the end, the fill side starts again at buffer 0 and the
// send side follows it there when it finds the empty buffer the fill side
// skipped.
#pragma once

#include "driver/adapter.h"

// TxBufferState values.
constexpr ULONG kTxBufferEmpty = 0;
constexpr ULONG kTxBufferFull = 2;  // holds (part of) a packet not yet sent

// CurrentTx while the transmitter is idle.
constexpr LONG kTransmitterIdle = -1;

// Copies queued packets, in order, into free transmit buffers and completes
// each to NDIS once it is on the card; starts the transmitter when it is idle.
// Stops at the first packet that does not fit, leaving it at the queue's head.
VOID FillTransmitBuffers(Adapter* adapter);

// Writes the packet's whole buffer chain into the buffer at NextTxFill in one
// remote-DMA write and stores its byte length through length. FALSE (logged
// as a hardware failure) when the controller never takes up the preparatory
// read, or when the card no longer answers at the end of the write.
BOOLEAN CopyPacketToCard(Adapter* adapter, PNDIS_PACKET packet, PULONG length);

// Hands the packet whose first buffer is CurrentTx to the controller. Callers
// set TxPending just before.
VOID StartTransmit(Adapter* adapter);

// A transmission ended (PTX): counts its result, frees its buffers, starts
// the next full buffer and refills from the send queue.
VOID TransmitComplete(Adapter* adapter);

// The controller aborted a transmission (TXE): restarts the controller and
// sends the same packet again.
VOID TransmitErrorRestart(Adapter* adapter);

// Ring arithmetic shared with the receive path's early completion.

// Buffers a packet of length bytes occupies.
ULONG TxBuffersFor(ULONG length);

// The buffer where sending goes on after count buffers from index: the index
// advanced by count, back to 0 at the end of the ring, and to 0 as well when
// that buffer is empty and the fill side did not stop there (it restarted at
// buffer 0 instead).
ULONG NextSendBuffer(const Adapter* adapter, ULONG index, ULONG count);

// Samples TSR, counts the transmission that just ended as good or bad and
// frees the buffers of the packet at CurrentTx. Returns how many it freed.
ULONG RetireCurrentTransmit(Adapter* adapter);

// What a reset of the transmit side needs.

// Forgets every packet on the card: all buffers empty, both indices at 0, the
// transmitter idle, no transmission pending or owed after an overflow.
VOID ClearTransmitRing(Adapter* adapter);

// Completes every packet still waiting in the send queue with status and
// empties the queue.
VOID AbortSendQueue(Adapter* adapter, NDIS_STATUS status);
