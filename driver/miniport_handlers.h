// The handlers this miniport registers with NDIS, with the platform's
// signatures. Each receives the Adapter record as its adapter context.
#pragma once

#include "platform/ndis.h"

// Adapter lifecycle (driver/lifecycle.cpp).
NDIS_STATUS NDIS_API MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                        PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                        NDIS_HANDLE MiniportAdapterHandle,
                                        NDIS_HANDLE WrapperConfigurationContext);
VOID NDIS_API MiniportHalt(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NDIS_API MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);

// Interrupt service (datapath/interrupt.cpp).
VOID NDIS_API MiniportISR(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                          NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportDisableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportEnableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext);

// Transmit (datapath/transmit.cpp).
NDIS_STATUS NDIS_API MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                                  UINT Flags);

// Receive (datapath/receive.cpp).
NDIS_STATUS NDIS_API MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                          NDIS_HANDLE MiniportAdapterContext,
                                          NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                          UINT BytesToTransfer);

// Information requests (info/query_information.cpp, info/set_information.cpp).
NDIS_STATUS NDIS_API MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                              PVOID InformationBuffer,
                                              ULONG InformationBufferLength, PULONG BytesWritten,
                                              PULONG BytesNeeded);
NDIS_STATUS NDIS_API MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                            PVOID InformationBuffer, ULONG InformationBufferLength,
                                            PULONG BytesRead, PULONG BytesNeeded);
