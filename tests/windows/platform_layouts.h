/* Every platform type a miniport shares with NDIS, the HAL and the kernel,
 * with every member whose place matters: what the driver's declarations must
 * lay out as the platform's own do on x86. Plain C, included against either
 * set of declarations. */
#ifndef KL_TESTS_WINDOWS_PLATFORM_LAYOUTS_H
#define KL_TESTS_WINDOWS_PLATFORM_LAYOUTS_H

/* TYPE(name) for each type whose size and alignment must agree. */
#define KL_PLATFORM_TYPES(TYPE)         \
  TYPE(BOOLEAN)                         \
  TYPE(CCHAR)                           \
  TYPE(UCHAR)                           \
  TYPE(USHORT)                          \
  TYPE(WCHAR)                           \
  TYPE(INT)                             \
  TYPE(UINT)                            \
  TYPE(LONG)                            \
  TYPE(ULONG)                           \
  TYPE(ULONG_PTR)                       \
  TYPE(LONGLONG)                        \
  TYPE(ULONGLONG)                       \
  TYPE(PVOID)                           \
  TYPE(NTSTATUS)                        \
  TYPE(NDIS_HANDLE)                     \
  TYPE(NDIS_STATUS)                     \
  TYPE(NDIS_OID)                        \
  TYPE(NDIS_ERROR_CODE)                 \
  TYPE(NDIS_MEDIUM)                     \
  TYPE(NDIS_INTERFACE_TYPE)             \
  TYPE(NDIS_INTERRUPT_MODE)             \
  TYPE(NDIS_PARAMETER_TYPE)             \
  TYPE(NDIS_HARDWARE_STATUS)            \
  TYPE(NDIS_MEDIA_STATE)                \
  TYPE(LARGE_INTEGER)                   \
  TYPE(ULARGE_INTEGER)                  \
  TYPE(NDIS_PHYSICAL_ADDRESS)           \
  TYPE(UNICODE_STRING)                  \
  TYPE(NDIS_STRING)                     \
  TYPE(NDIS_CONFIGURATION_PARAMETER)    \
  TYPE(NDIS_MCA_POS_DATA)               \
  TYPE(LIST_ENTRY)                      \
  TYPE(KSPIN_LOCK)                      \
  TYPE(DISPATCHER_HEADER)               \
  TYPE(KDPC)                            \
  TYPE(KTIMER)                          \
  TYPE(KEVENT)                          \
  TYPE(MDL)                             \
  TYPE(NDIS_BUFFER)                     \
  TYPE(NDIS_PACKET_PRIVATE)             \
  TYPE(NDIS_PACKET)                     \
  TYPE(NDIS40_MINIPORT_CHARACTERISTICS) \
  TYPE(NDIS_MINIPORT_BLOCK)             \
  TYPE(NDIS_MINIPORT_INTERRUPT)         \
  TYPE(NDIS_MINIPORT_TIMER)

/* MEMBER(type, member) for each member whose offset and size must agree. */
#define KL_PLATFORM_MEMBERS(MEMBER)                                \
  MEMBER(LARGE_INTEGER, u.LowPart)                                 \
  MEMBER(LARGE_INTEGER, u.HighPart)                                \
  MEMBER(LARGE_INTEGER, QuadPart)                                  \
  MEMBER(ULARGE_INTEGER, u.LowPart)                                \
  MEMBER(ULARGE_INTEGER, u.HighPart)                               \
  MEMBER(ULARGE_INTEGER, QuadPart)                                 \
  MEMBER(UNICODE_STRING, Length)                                   \
  MEMBER(UNICODE_STRING, MaximumLength)                            \
  MEMBER(UNICODE_STRING, Buffer)                                   \
  MEMBER(NDIS_CONFIGURATION_PARAMETER, ParameterType)              \
  MEMBER(NDIS_CONFIGURATION_PARAMETER, ParameterData.IntegerData)  \
  MEMBER(NDIS_CONFIGURATION_PARAMETER, ParameterData.StringData)   \
  MEMBER(NDIS_MCA_POS_DATA, AdapterId)                             \
  MEMBER(NDIS_MCA_POS_DATA, PosData1)                              \
  MEMBER(NDIS_MCA_POS_DATA, PosData2)                              \
  MEMBER(NDIS_MCA_POS_DATA, PosData3)                              \
  MEMBER(NDIS_MCA_POS_DATA, PosData4)                              \
  MEMBER(LIST_ENTRY, Flink)                                        \
  MEMBER(LIST_ENTRY, Blink)                                        \
  MEMBER(DISPATCHER_HEADER, Type)                                  \
  MEMBER(DISPATCHER_HEADER, SignalState)                           \
  MEMBER(DISPATCHER_HEADER, WaitListHead)                          \
  MEMBER(KDPC, Type)                                               \
  MEMBER(KDPC, Importance)                                         \
  MEMBER(KDPC, Number)                                             \
  MEMBER(KDPC, DpcListEntry)                                       \
  MEMBER(KDPC, DeferredRoutine)                                    \
  MEMBER(KDPC, DeferredContext)                                    \
  MEMBER(KDPC, SystemArgument1)                                    \
  MEMBER(KDPC, SystemArgument2)                                    \
  MEMBER(KDPC, DpcData)                                            \
  MEMBER(KTIMER, Header)                                           \
  MEMBER(KTIMER, DueTime)                                          \
  MEMBER(KTIMER, TimerListEntry)                                   \
  MEMBER(KTIMER, Dpc)                                              \
  MEMBER(KTIMER, Period)                                           \
  MEMBER(KEVENT, Header)                                           \
  MEMBER(MDL, Next)                                                \
  MEMBER(MDL, Size)                                                \
  MEMBER(MDL, MdlFlags)                                            \
  MEMBER(MDL, Process)                                             \
  MEMBER(MDL, MappedSystemVa)                                      \
  MEMBER(MDL, StartVa)                                             \
  MEMBER(MDL, ByteCount)                                           \
  MEMBER(MDL, ByteOffset)                                          \
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
  MEMBER(NDIS_PACKET, Reserved)                                    \
  MEMBER(NDIS_PACKET, ProtocolReserved)                            \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, MajorNdisVersion)        \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, MinorNdisVersion)        \
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
  MEMBER(NDIS_MINIPORT_BLOCK, EthDB)                               \
  MEMBER(NDIS_MINIPORT_BLOCK, EthRxIndicateHandler)                \
  MEMBER(NDIS_MINIPORT_BLOCK, EthRxCompleteHandler)                \
  MEMBER(NDIS_MINIPORT_INTERRUPT, InterruptObject)                 \
  MEMBER(NDIS_MINIPORT_INTERRUPT, DpcCountLock)                    \
  MEMBER(NDIS_MINIPORT_INTERRUPT, Reserved)                        \
  MEMBER(NDIS_MINIPORT_INTERRUPT, MiniportIsr)                     \
  MEMBER(NDIS_MINIPORT_INTERRUPT, MiniportDpc)                     \
  MEMBER(NDIS_MINIPORT_INTERRUPT, InterruptDpc)                    \
  MEMBER(NDIS_MINIPORT_INTERRUPT, Miniport)                        \
  MEMBER(NDIS_MINIPORT_INTERRUPT, DpcCount)                        \
  MEMBER(NDIS_MINIPORT_INTERRUPT, Filler1)                         \
  MEMBER(NDIS_MINIPORT_INTERRUPT, DpcsCompletedEvent)              \
  MEMBER(NDIS_MINIPORT_INTERRUPT, SharedInterrupt)                 \
  MEMBER(NDIS_MINIPORT_INTERRUPT, IsrRequested)                    \
  MEMBER(NDIS_MINIPORT_TIMER, Timer)                               \
  MEMBER(NDIS_MINIPORT_TIMER, Dpc)                                 \
  MEMBER(NDIS_MINIPORT_TIMER, MiniportTimerFunction)               \
  MEMBER(NDIS_MINIPORT_TIMER, MiniportTimerContext)                \
  MEMBER(NDIS_MINIPORT_TIMER, Miniport)                            \
  MEMBER(NDIS_MINIPORT_TIMER, NextDeferredTimer)

#endif
