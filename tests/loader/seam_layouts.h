// Every type that crosses the seam between a driver image built for i386
// Windows and the 32-bit host, with every member: what both compilers must
// lay out alike.
#pragma once

#include "driver/adapter.h"
#include "platform/ndis.h"

// TYPE(name) for each type whose size and alignment must agree.
#define KL_SEAM_TYPES(TYPE)                                                    \
  TYPE(BOOLEAN)                                                                \
  TYPE(CCHAR)                                                                  \
  TYPE(UCHAR)                                                                  \
  TYPE(USHORT)                                                                 \
  TYPE(WCHAR)                                                                  \
  TYPE(INT)                                                                    \
  TYPE(UINT)                                                                   \
  TYPE(LONG)                                                                   \
  TYPE(ULONG)                                                                  \
  TYPE(ULONG_PTR)                                                              \
  TYPE(LONGLONG)                                                               \
  TYPE(ULONGLONG)                                                              \
  TYPE(PVOID)                                                                  \
  TYPE(NTSTATUS)                                                               \
  TYPE(NDIS_HANDLE)                                                            \
  TYPE(NDIS_STATUS)                                                            \
  TYPE(NDIS_OID)                                                               \
  TYPE(NDIS_ERROR_CODE)                                                        \
  TYPE(NDIS_MEDIUM)                                                            \
  TYPE(NDIS_INTERFACE_TYPE)                                                    \
  TYPE(NDIS_INTERRUPT_MODE)                                                    \
  TYPE(NDIS_PARAMETER_TYPE)                                                    \
  TYPE(LARGE_INTEGER)                                                          \
  TYPE(NDIS_PHYSICAL_ADDRESS)                                                  \
  TYPE(UNICODE_STRING)                                                         \
  TYPE(NDIS_STRING)                                                            \
  TYPE(NDIS_CONFIGURATION_PARAMETER)                                           \
  TYPE(NDIS_MCA_POS_DATA)                                                      \
  TYPE(NDIS_BUFFER)                                                            \
  TYPE(NDIS_PACKET_PRIVATE)                                                    \
  TYPE(NDIS_PACKET)                                                            \
  TYPE(NDIS40_MINIPORT_CHARACTERISTICS)                                        \
  TYPE(NDIS_MINIPORT_INTERRUPT)                                                \
  TYPE(NDIS_MINIPORT_TIMER)                                                    \
  /* The miniport's own record: a test of the loaded driver reads it as the */ \
  /* host's compiler lays it out. */                                           \
  TYPE(Adapter)

// MEMBER(type, member) for each member whose offset and size must agree.
#define KL_SEAM_MEMBERS(MEMBER)                                    \
  MEMBER(LARGE_INTEGER, u.LowPart)                                 \
  MEMBER(LARGE_INTEGER, u.HighPart)                                \
  MEMBER(LARGE_INTEGER, QuadPart)                                  \
  MEMBER(UNICODE_STRING, Length)                                   \
  MEMBER(UNICODE_STRING, MaximumLength)                            \
  MEMBER(UNICODE_STRING, Buffer)                                   \
  MEMBER(NDIS_CONFIGURATION_PARAMETER, ParameterType)              \
  MEMBER(NDIS_CONFIGURATION_PARAMETER, ParameterData)              \
  MEMBER(NDIS_CONFIGURATION_PARAMETER, ParameterData.IntegerData)  \
  MEMBER(NDIS_CONFIGURATION_PARAMETER, ParameterData.StringData)   \
  MEMBER(NDIS_MCA_POS_DATA, AdapterId)                             \
  MEMBER(NDIS_MCA_POS_DATA, PosData1)                              \
  MEMBER(NDIS_MCA_POS_DATA, PosData2)                              \
  MEMBER(NDIS_MCA_POS_DATA, PosData3)                              \
  MEMBER(NDIS_MCA_POS_DATA, PosData4)                              \
  MEMBER(NDIS_BUFFER, Next)                                        \
  MEMBER(NDIS_BUFFER, VirtualAddress)                              \
  MEMBER(NDIS_BUFFER, Length)                                      \
  MEMBER(NDIS_PACKET_PRIVATE, PhysicalCount)                       \
  MEMBER(NDIS_PACKET_PRIVATE, TotalLength)                         \
  MEMBER(NDIS_PACKET_PRIVATE, Head)                                \
  MEMBER(NDIS_PACKET_PRIVATE, Tail)                                \
  MEMBER(NDIS_PACKET_PRIVATE, Pool)                                \
  MEMBER(NDIS_PACKET_PRIVATE, Count)                               \
  MEMBER(NDIS_PACKET_PRIVATE, Flags)                               \
  MEMBER(NDIS_PACKET_PRIVATE, ValidCounts)                         \
  MEMBER(NDIS_PACKET_PRIVATE, NdisPacketFlags)                     \
  MEMBER(NDIS_PACKET_PRIVATE, NdisPacketOobOffset)                 \
  MEMBER(NDIS_PACKET, Private)                                     \
  MEMBER(NDIS_PACKET, MiniportReserved)                            \
  MEMBER(NDIS_PACKET, WrapperReserved)                             \
  MEMBER(NDIS_PACKET, ProtocolReserved)                            \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, MajorNdisVersion)        \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, MinorNdisVersion)        \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, Filler)                  \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, Reserved)                \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, CheckForHangHandler)     \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, DisableInterruptHandler) \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, EnableInterruptHandler)  \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, HaltHandler)             \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, HandleInterruptHandler)  \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, InitializeHandler)       \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, ISRHandler)              \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, QueryInformationHandler) \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, ReconfigureHandler)      \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, ResetHandler)            \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, SendHandler)             \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, SetInformationHandler)   \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, TransferDataHandler)     \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, ReturnPacketHandler)     \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, SendPacketsHandler)      \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, AllocateCompleteHandler) \
  MEMBER(NDIS_MINIPORT_INTERRUPT, InterruptObject)                 \
  MEMBER(NDIS_MINIPORT_INTERRUPT, MiniportIdField)                 \
  MEMBER(NDIS_MINIPORT_INTERRUPT, MiniportIsr)                     \
  MEMBER(NDIS_MINIPORT_INTERRUPT, MiniportDpc)                     \
  MEMBER(NDIS_MINIPORT_INTERRUPT, Miniport)                        \
  MEMBER(NDIS_MINIPORT_INTERRUPT, DpcCount)                        \
  MEMBER(NDIS_MINIPORT_INTERRUPT, SharedInterrupt)                 \
  MEMBER(NDIS_MINIPORT_INTERRUPT, IsrRequested)                    \
  MEMBER(NDIS_MINIPORT_TIMER, TimerObject)                         \
  MEMBER(NDIS_MINIPORT_TIMER, MiniportTimerFunction)               \
  MEMBER(NDIS_MINIPORT_TIMER, MiniportTimerContext)                \
  MEMBER(NDIS_MINIPORT_TIMER, Miniport)                            \
  MEMBER(NDIS_MINIPORT_TIMER, NextDeferredTimer)                   \
  MEMBER(Adapter, MiniportHandle)                                  \
  MEMBER(Adapter, Interrupt)                                       \
  MEMBER(Adapter, Next)                                            \
  MEMBER(Adapter, Timer)
