// Remote DMA: the only way between host memory and the card's packet memory.
//
// The host loads a card address and a byte count, gives a remote read or
// write command, and moves the bytes through the data port, which the
// controller maps onto consecutive card addresses. In word mode every data
// port access moves a 16-bit word at an even card address: the low byte is the
// byte at the even address, the high byte the one after it.
//
// All of this runs on register page 0, which must be selected on entry.
// Transfers stay below 64 KiB: the byte count register is 16 bits wide.
#pragma once

#include "driver/adapter.h"

// Copies length bytes from card address cardAddress to destination. FALSE
// when the card no longer answers (ISR reads all ones at the end of the
// transfer): the bytes are the floating bus, not the card's. A length of 0
// touches no port.
BOOLEAN DmaReadFromCard(Adapter* adapter, PUCHAR destination, ULONG cardAddress, ULONG length);

// Copies length bytes from source to card address cardAddress. FALSE when the
// controller never takes up the preparatory read (its address does not move),
// or when the card no longer answers (ISR reads all ones at the end of the
// transfer); in word mode the byte at an odd cardAddress may already have
// been written then. A length of 0 touches no port.
BOOLEAN DmaWriteToCard(Adapter* adapter, ULONG cardAddress, const UCHAR* source, ULONG length);

// Building blocks of the two transfers, shared with the packet copy.

// Loads RSAR with the low 16 bits of cardAddress and RBCR with the low 16 bits
// of count, then gives command (a remote read or remote write command).
VOID DmaSetup(Adapter* adapter, ULONG cardAddress, ULONG count, UCHAR command);

// Waits for remote DMA complete (RDC), at most 65535 polls 4 µs apart. RDC is
// never acknowledged here, so one left from an earlier transfer ends the wait
// at once. Running out is not reported. FALSE when ISR reads as a card that
// no longer answers, whose all-ones status would show RDC too.
BOOLEAN DmaWaitComplete(Adapter* adapter);

// Reads 2 bytes at cardAddress (two byte reads in byte mode, one word read in
// word mode) and drops them: a remote write is only given after the
// controller has taken up a read.
VOID DmaPreparatoryRead(Adapter* adapter, ULONG cardAddress);

// Polls the current remote-DMA address until it has moved away from the low
// 16 bits of startAddress, at most 65535 polls 1 µs apart. FALSE when it never
// moves.
BOOLEAN DmaPollAddress(Adapter* adapter, ULONG startAddress);
