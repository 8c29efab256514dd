// Hardware abstraction layer: port I/O and busy waits.
//
// Every access to the card goes through these. Port addresses are the mapped
// base that NdisMRegisterIoPortRange returned plus a register offset.
#pragma once

#include "platform/ntdef.h"

#ifdef __cplusplus
extern "C" {
#endif

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port);
VOID NTAPI READ_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count);
VOID NTAPI READ_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count);

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
VOID NTAPI WRITE_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count);
VOID NTAPI WRITE_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count);

// Busy-waits at least MicroSeconds; usable at any interrupt level.
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

#ifdef __cplusplus
}
#endif
