// The NDIS 4.0 miniport interface: the types, constants and library operations a
// miniport driver compiles against. The driver includes only this header (and
// hal.h through it); which NDIS library it is finally linked with is not its
// concern.
#pragma once

#include "platform/hal.h"
#include "platform/ntdef.h"
#include "platform/wdm.h"

#define NDIS_API NTAPI

// ---------------------------------------------------------------------------
// Code and data placement.
//
// Initialisation-only code is discarded after DriverEntry (INIT) or paged out
// (PAGE) by the Windows loader; data that only such code touches is pageable
// too. Anything that can run at DISPATCH or device level must stay resident and
// carries no marker. Builds for other targets have no such sections.
//
// Pageable data is writable data (keyword strings are handed to NDIS through
// non-const pointers); GCC refuses to mix const and writable objects in one
// named section.
#if defined(_MSC_VER)
#pragma section("PAGEDATA", read, write)
#define NDIS_INIT_CODE __declspec(code_seg("INIT"))
#define NDIS_PAGEABLE_CODE __declspec(code_seg("PAGE"))
#define NDIS_PAGEABLE_DATA __declspec(allocate("PAGEDATA"))
#elif defined(__MINGW32__)
#define NDIS_INIT_CODE __attribute__((section("INIT")))
#define NDIS_PAGEABLE_CODE __attribute__((section("PAGE")))
#define NDIS_PAGEABLE_DATA __attribute__((section("PAGEDATA")))
#else
#define NDIS_INIT_CODE
#define NDIS_PAGEABLE_CODE
#define NDIS_PAGEABLE_DATA
#endif

// ---------------------------------------------------------------------------
// Basic NDIS types.

typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef ULONG NDIS_ERROR_CODE;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS, *PNDIS_PHYSICAL_ADDRESS;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;

#define NDIS_PHYSICAL_ADDRESS_CONST(Low, High) \
  {                                            \
    { (ULONG)(Low), (LONG)(High) }             \
  }

// A counted wide string constant for NdisReadConfiguration keywords.
#define NDIS_STRING_CONST(x) \
  { (USHORT)(sizeof(u##x) - sizeof(WCHAR)), (USHORT)sizeof(u##x), (PWSTR)(u##x) }

// Defines the keyword `Name`, an NDIS_STRING, whose characters are pageable
// along with the string that counts them: a string literal would leave the
// characters in resident read-only data.
#define NDIS_PAGEABLE_STRING(Name, x)                                                        \
  NDIS_PAGEABLE_DATA WCHAR Name##Characters[] = u##x;                                        \
  NDIS_PAGEABLE_DATA NDIS_STRING Name = {(USHORT)(sizeof(Name##Characters) - sizeof(WCHAR)), \
                                         (USHORT)sizeof(Name##Characters), Name##Characters}

// Status codes.
#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000L)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103L)
#define NDIS_STATUS_NOT_ACCEPTED ((NDIS_STATUS)0x00010003L)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001L)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009AL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBL)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010006L)
#define NDIS_STATUS_REQUEST_ABORTED ((NDIS_STATUS)0xC001000CL)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_RESOURCE_CONFLICT ((NDIS_STATUS)0xC001001EL)

// Error-log codes for NdisWriteErrorLogEntry.
#define NDIS_ERROR_CODE_RESOURCE_CONFLICT ((NDIS_ERROR_CODE)0xC0001388L)
#define NDIS_ERROR_CODE_HARDWARE_FAILURE ((NDIS_ERROR_CODE)0xC000138AL)
#define NDIS_ERROR_CODE_ADAPTER_NOT_FOUND ((NDIS_ERROR_CODE)0xC000138BL)
#define NDIS_ERROR_CODE_INTERRUPT_CONNECT ((NDIS_ERROR_CODE)0xC000138CL)
#define NDIS_ERROR_CODE_DRIVER_FAILURE ((NDIS_ERROR_CODE)0xC000138DL)
#define NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION ((NDIS_ERROR_CODE)0xC0001391L)

// Packet filter bits (OID_GEN_CURRENT_PACKET_FILTER).
#define NDIS_PACKET_TYPE_DIRECTED 0x00000001
#define NDIS_PACKET_TYPE_MULTICAST 0x00000002
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define NDIS_PACKET_TYPE_BROADCAST 0x00000008
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x00000010
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020
#define NDIS_PACKET_TYPE_SMT 0x00000040
#define NDIS_PACKET_TYPE_ALL_LOCAL 0x00000080
#define NDIS_PACKET_TYPE_GROUP 0x00001000
#define NDIS_PACKET_TYPE_ALL_FUNCTIONAL 0x00002000
#define NDIS_PACKET_TYPE_FUNCTIONAL 0x00004000
#define NDIS_PACKET_TYPE_MAC_FRAME 0x00008000

// Object identifiers of information requests. General operational OIDs.
#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define OID_GEN_MAXIMUM_SEND_PACKETS 0x00010115
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116
#define OID_GEN_SUPPORTED_GUIDS 0x00010117

// General statistics.
#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105
#define OID_GEN_DIRECTED_BYTES_XMIT 0x00020201
#define OID_GEN_TRANSMIT_QUEUE_LENGTH 0x0002020E

// 802.3 operational OIDs and statistics.
#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104
#define OID_802_3_MAC_OPTIONS 0x01010105
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103
#define OID_802_3_XMIT_DEFERRED 0x01020201
#define OID_802_3_XMIT_LATE_COLLISIONS 0x01020207

// Power management.
#define OID_PNP_CAPABILITIES 0xFD010100
#define OID_PNP_QUERY_POWER 0xFD010102
#define OID_PNP_REMOVE_WAKE_UP_PATTERN 0xFD010104
#define OID_PNP_WAKE_UP_PATTERN_LIST 0xFD010105
#define OID_PNP_ENABLE_WAKE_UP 0xFD010106
#define OID_PNP_WAKE_UP_OK 0xFD020200
#define OID_PNP_WAKE_UP_ERROR 0xFD020201

// OID_GEN_MAC_OPTIONS bits.
#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008

typedef enum _NDIS_HARDWARE_STATUS {
  NdisHardwareStatusReady = 0,
  NdisHardwareStatusInitializing = 1,
  NdisHardwareStatusReset = 2,
  NdisHardwareStatusClosing = 3,
  NdisHardwareStatusNotReady = 4,
} NDIS_HARDWARE_STATUS,
    *PNDIS_HARDWARE_STATUS;

typedef enum _NDIS_MEDIA_STATE {
  NdisMediaStateConnected = 0,
  NdisMediaStateDisconnected = 1,
} NDIS_MEDIA_STATE,
    *PNDIS_MEDIA_STATE;

typedef enum _NDIS_MEDIUM {
  NdisMedium802_3 = 0,
  NdisMedium802_5 = 1,
  NdisMediumFddi = 2,
  NdisMediumWan = 3,
  NdisMediumLocalTalk = 4,
  NdisMediumDix = 5,
  NdisMediumArcnetRaw = 6,
  NdisMediumArcnet878_2 = 7,
} NDIS_MEDIUM,
    *PNDIS_MEDIUM;

// Fixed to int: a miniport passes on whatever bus number its configuration
// holds, and every one of them is a value of the type.
typedef enum _NDIS_INTERFACE_TYPE : int {
  NdisInterfaceInternal = 0,
  NdisInterfaceIsa = 1,
  NdisInterfaceEisa = 2,
  NdisInterfaceMca = 3,
  NdisInterfaceTurboChannel = 4,
  NdisInterfacePci = 5,
  NdisInterfacePcMcia = 8,
} NDIS_INTERFACE_TYPE,
    *PNDIS_INTERFACE_TYPE;

typedef enum _NDIS_INTERRUPT_MODE {
  NdisInterruptLevelSensitive = 0,
  NdisInterruptLatched = 1,
} NDIS_INTERRUPT_MODE,
    *PNDIS_INTERRUPT_MODE;

typedef enum _NDIS_PARAMETER_TYPE {
  NdisParameterInteger = 0,
  NdisParameterHexInteger = 1,
  NdisParameterString = 2,
  NdisParameterMultiString = 3,
  NdisParameterBinary = 4,
} NDIS_PARAMETER_TYPE,
    *PNDIS_PARAMETER_TYPE;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
  NDIS_PARAMETER_TYPE ParameterType;
  union {
    ULONG IntegerData;
    NDIS_STRING StringData;
  } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

// Micro Channel adapter id and POS bytes of one slot, byte-packed as the
// system's configuration data holds them.
#pragma pack(push, 1)
typedef struct _NDIS_MCA_POS_DATA {
  USHORT AdapterId;
  UCHAR PosData1;
  UCHAR PosData2;
  UCHAR PosData3;
  UCHAR PosData4;
} NDIS_MCA_POS_DATA, *PNDIS_MCA_POS_DATA;
#pragma pack(pop)

// ---------------------------------------------------------------------------
// Packets and buffer chains.

// One virtually contiguous piece of a packet: on NT the memory manager's MDL.
// Pieces are chained through Next.
typedef MDL NDIS_BUFFER, *PNDIS_BUFFER;

typedef struct _NDIS_PACKET_PRIVATE {
  UINT PhysicalCount;  // physical pieces, counted when ValidCounts is set
  UINT TotalLength;    // bytes over the whole chain, likewise
  PNDIS_BUFFER Head;
  PNDIS_BUFFER Tail;
  PVOID Pool;
  UINT Count;  // buffers in the chain
  ULONG Flags;
  BOOLEAN ValidCounts;
  UCHAR NdisPacketFlags;
  USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
  NDIS_PACKET_PRIVATE Private;
  // Owned by the miniport while the packet is in its hands (from the send
  // handler until NdisMSendComplete); a serialised miniport queues packets
  // through it.
  UCHAR MiniportReserved[2 * sizeof(PVOID)];
  UCHAR WrapperReserved[2 * sizeof(PVOID)];
  ULONG_PTR Reserved[2];
  // The protocol's own area, which runs on past the structure for as many
  // bytes as the protocol asked of its packet pool.
  UCHAR ProtocolReserved[1];
} NDIS_PACKET, *PNDIS_PACKET;

// ---------------------------------------------------------------------------
// Miniport handler table.

typedef BOOLEAN(NDIS_API* W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NDIS_API* W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NDIS_API* W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NDIS_API* W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NDIS_API* W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NDIS_API* W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                    PUINT SelectedMediumIndex,
                                                    PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                    NDIS_HANDLE MiniportAdapterHandle,
                                                    NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NDIS_API* W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                                      PBOOLEAN QueueMiniportHandleInterrupt,
                                      NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NDIS_API* W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                           NDIS_OID Oid, PVOID InformationBuffer,
                                                           ULONG InformationBufferLength,
                                                           PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS(NDIS_API* W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                     NDIS_HANDLE MiniportAdapterContext,
                                                     NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NDIS_API* W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                               NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NDIS_API* W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                              PNDIS_PACKET Packet, UINT Flags);
typedef NDIS_STATUS(NDIS_API* W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                         NDIS_OID Oid, PVOID InformationBuffer,
                                                         ULONG InformationBufferLength,
                                                         PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NDIS_API* W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                                       NDIS_HANDLE MiniportAdapterContext,
                                                       NDIS_HANDLE MiniportReceiveContext,
                                                       UINT ByteOffset, UINT BytesToTransfer);
typedef VOID(NDIS_API* W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                PNDIS_PACKET Packet);
typedef VOID(NDIS_API* W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                               PNDIS_PACKET* PacketArray, UINT NumberOfPackets);
typedef VOID(NDIS_API* W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                    PVOID VirtualAddress,
                                                    PNDIS_PHYSICAL_ADDRESS PhysicalAddress,
                                                    ULONG Length, PVOID Context);

// The NDIS 4.0 characteristics record, members in the platform's order.
typedef struct _NDIS40_MINIPORT_CHARACTERISTICS {
  UCHAR MajorNdisVersion;
  UCHAR MinorNdisVersion;
  USHORT Filler;
  UINT Reserved;
  W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
  W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
  W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
  W_HALT_HANDLER HaltHandler;
  W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
  W_INITIALIZE_HANDLER InitializeHandler;
  W_ISR_HANDLER ISRHandler;
  W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
  W_RECONFIGURE_HANDLER ReconfigureHandler;
  W_RESET_HANDLER ResetHandler;
  W_SEND_HANDLER SendHandler;
  W_SET_INFORMATION_HANDLER SetInformationHandler;
  W_TRANSFER_DATA_HANDLER TransferDataHandler;
  // Added by NDIS 4.0.
  W_RETURN_PACKET_HANDLER ReturnPacketHandler;
  W_SEND_PACKETS_HANDLER SendPacketsHandler;
  W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
} NDIS40_MINIPORT_CHARACTERISTICS, *PNDIS40_MINIPORT_CHARACTERISTICS;

typedef NDIS40_MINIPORT_CHARACTERISTICS NDIS_MINIPORT_CHARACTERISTICS;
typedef PNDIS40_MINIPORT_CHARACTERISTICS PNDIS_MINIPORT_CHARACTERISTICS;

#if defined(__i386__)
static_assert(sizeof(NDIS40_MINIPORT_CHARACTERISTICS) == 72,
              "the NDIS 4.0 characteristics record is 72 bytes on x86");
#endif

// ---------------------------------------------------------------------------
// NDIS's block for one adapter. The MiniportAdapterHandle points to it, and
// everything in it is NDIS's own: a miniport reaches into it only through the
// receive indications below, which call the Ethernet filter's handlers kept
// there. The rest is reserved space of its x86 size, so that those slots lie
// where NDIS has them; NDIS's own timers inside it align it to 8 bytes.

typedef struct _ETH_FILTER ETH_FILTER, *PETH_FILTER;

typedef VOID(NDIS_API* ETH_RCV_INDICATE_HANDLER)(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext,
                                                 PCHAR Address, PVOID HeaderBuffer,
                                                 UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                                 UINT LookaheadBufferSize, UINT PacketSize);
typedef VOID(NDIS_API* ETH_RCV_COMPLETE_HANDLER)(PETH_FILTER Filter);

typedef struct alignas(8) _NDIS_MINIPORT_BLOCK {
  PVOID Reserved1[54];
  PETH_FILTER EthDB;  // the adapter's Ethernet filter database
  PVOID Reserved2[34];
  ETH_RCV_INDICATE_HANDLER EthRxIndicateHandler;
  PVOID Reserved3[2];
  ETH_RCV_COMPLETE_HANDLER EthRxCompleteHandler;
  PVOID Reserved4[11];
} NDIS_MINIPORT_BLOCK, *PNDIS_MINIPORT_BLOCK;

// ---------------------------------------------------------------------------
// Interrupt and timer objects. The miniport embeds them in its adapter record;
// NDIS fills them whole at registration and owns their contents until
// deregistration.

typedef struct _NDIS_MINIPORT_INTERRUPT {
  PKINTERRUPT InterruptObject;  // the system's interrupt object while connected
  KSPIN_LOCK DpcCountLock;
  PVOID Reserved;
  W_ISR_HANDLER MiniportIsr;
  W_HANDLE_INTERRUPT_HANDLER MiniportDpc;
  KDPC InterruptDpc;
  PNDIS_MINIPORT_BLOCK Miniport;
  UCHAR DpcCount;
  BOOLEAN Filler1;
  KEVENT DpcsCompletedEvent;
  BOOLEAN SharedInterrupt;
  BOOLEAN IsrRequested;
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

typedef VOID(NDIS_API* PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                             PVOID SystemSpecific2, PVOID SystemSpecific3);

typedef struct _NDIS_MINIPORT_TIMER {
  KTIMER Timer;
  KDPC Dpc;  // runs the timer function once the kernel timer expires
  PNDIS_TIMER_FUNCTION MiniportTimerFunction;
  PVOID MiniportTimerContext;
  PNDIS_MINIPORT_BLOCK Miniport;
  struct _NDIS_MINIPORT_TIMER* NextDeferredTimer;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

// A synchronise routine run at the interrupt's level with its lock held.
typedef BOOLEAN(NDIS_API* PNDIS_SYNCHRONIZE_ROUTINE)(PVOID SynchronizeContext);

// ---------------------------------------------------------------------------
// Memory helpers (the kernel's Rtl routines under their NDIS names).

#define NdisMoveMemory(Destination, Source, Length) \
  __builtin_memcpy((Destination), (Source), (Length))
#define NdisZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define NdisEqualMemory(Source1, Source2, Length) \
  (__builtin_memcmp((Source1), (Source2), (Length)) == 0)

// ---------------------------------------------------------------------------
// Library operations.

#ifdef __cplusplus
extern "C" {
#endif

// Registration.
VOID NDIS_API NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                    PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NDIS_API NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                           PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                           UINT CharacteristicsLength);
VOID NDIS_API NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                   NDIS_HANDLE MiniportAdapterContext,
                                   UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                   NDIS_INTERFACE_TYPE AdapterType);

// Configuration.
VOID NDIS_API NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                    NDIS_HANDLE WrapperConfigurationContext);
VOID NDIS_API NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);
VOID NDIS_API NdisReadConfiguration(PNDIS_STATUS Status,
                                    PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                    NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                    NDIS_PARAMETER_TYPE ParameterType);
VOID NDIS_API NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                     PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle);
CCHAR NDIS_API NdisSystemProcessorCount(VOID);
VOID NDIS_API NdisReadMcaPosInformation(PNDIS_STATUS Status,
                                        NDIS_HANDLE WrapperConfigurationContext,
                                        PUINT ChannelNumber, PNDIS_MCA_POS_DATA McaData);
ULONG NDIS_API NdisReadPcmciaAttributeMemory(NDIS_HANDLE NdisAdapterHandle, ULONG Offset,
                                             PVOID Buffer, ULONG Length);

// Memory.
NDIS_STATUS NDIS_API NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                                        NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
VOID NDIS_API NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

// I/O ports and interrupts.
NDIS_STATUS NDIS_API NdisMRegisterIoPortRange(PVOID* PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                              UINT InitialPort, UINT NumberOfPorts);
VOID NDIS_API NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                         UINT NumberOfPorts, PVOID PortOffset);
NDIS_STATUS NDIS_API NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                            NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                            UINT InterruptLevel, BOOLEAN RequestIsr,
                                            BOOLEAN SharedInterrupt,
                                            NDIS_INTERRUPT_MODE InterruptMode);
VOID NDIS_API NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
BOOLEAN NDIS_API NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                               PVOID SynchronizeFunction, PVOID SynchronizeContext);

// Timers.
VOID NDIS_API NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                   PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NDIS_API NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod);
VOID NDIS_API NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);

// Error log. The values follow as NumberOfErrorValues ULONG arguments.
VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...);

// Buffers: the address and length of one piece, as the MDL gives them.
VOID NDIS_API NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length);

// Send completion to the bound protocols.
VOID NDIS_API NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                NDIS_STATUS Status);

#ifdef __cplusplus
}
#endif

// ---------------------------------------------------------------------------
// What NDIS offers as macros rather than as exports of NDIS.SYS: the packet
// and buffer-chain queries read the descriptors' own fields, and the receive
// indications call the filter's handlers through the miniport block.

// The pages a piece of a packet spans; an empty piece counts as one.
inline UINT NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER Buffer) {
  return MmGetMdlByteCount(Buffer) == 0
             ? 1
             : ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(Buffer),
                                              MmGetMdlByteCount(Buffer));
}

inline VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer) {
  *NextBuffer = CurrentBuffer->Next;
}

// Counts the chain once, when the packet's counts are not valid (a protocol
// that chains buffers leaves them so), and keeps the counts in the packet.
inline VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount,
                            PNDIS_BUFFER* FirstBuffer, PUINT TotalPacketLength) {
  if (FirstBuffer != NULL) {
    *FirstBuffer = Packet->Private.Head;
  }
  if (PhysicalBufferCount == NULL && BufferCount == NULL && TotalPacketLength == NULL) {
    return;
  }
  if (!Packet->Private.ValidCounts) {
    UINT physical = 0;
    UINT count = 0;
    UINT total = 0;
    for (PNDIS_BUFFER buffer = Packet->Private.Head; buffer != NULL; buffer = buffer->Next) {
      physical += NDIS_BUFFER_TO_SPAN_PAGES(buffer);
      total += MmGetMdlByteCount(buffer);
      ++count;
    }
    Packet->Private.PhysicalCount = physical;
    Packet->Private.TotalLength = total;
    Packet->Private.Count = count;
    Packet->Private.ValidCounts = TRUE;
  }
  if (PhysicalBufferCount != NULL) {
    *PhysicalBufferCount = Packet->Private.PhysicalCount;
  }
  if (BufferCount != NULL) {
    *BufferCount = Packet->Private.Count;
  }
  if (TotalPacketLength != NULL) {
    *TotalPacketLength = Packet->Private.TotalLength;
  }
}

// The header's destination address is where the filter looks for it.
inline VOID NdisMEthIndicateReceive(NDIS_HANDLE MiniportAdapterHandle,
                                    NDIS_HANDLE MiniportReceiveContext, PVOID HeaderBuffer,
                                    UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                    UINT LookaheadBufferSize, UINT PacketSize) {
  const PNDIS_MINIPORT_BLOCK miniport = static_cast<PNDIS_MINIPORT_BLOCK>(MiniportAdapterHandle);
  miniport->EthRxIndicateHandler(miniport->EthDB, MiniportReceiveContext,
                                 static_cast<PCHAR>(HeaderBuffer), HeaderBuffer, HeaderBufferSize,
                                 LookaheadBuffer, LookaheadBufferSize, PacketSize);
}

inline VOID NdisMEthIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle) {
  const PNDIS_MINIPORT_BLOCK miniport = static_cast<PNDIS_MINIPORT_BLOCK>(MiniportAdapterHandle);
  miniport->EthRxCompleteHandler(miniport->EthDB);
}
