// A miniport small enough to reason about, built for i386 Windows like the
// real driver: each handler calls platform operations with arguments whose
// values the loader tests look for on the other side of the seam (port
// accesses, the error log, the clock), so a wrong calling convention, a
// wrong decoration or a relocation gone wrong shows as a wrong value.
//
// KL_PROBE_HALT_IN_INIT places the halt handler in INIT, which the system
// releases once DriverEntry has returned. KL_PROBE_FOREIGN_IMPORTS adds
// imports that the host does not provide.
#include "platform/ndis.h"

#if defined(KL_PROBE_HALT_IN_INIT)
#define PROBE_HALT_PLACEMENT NDIS_INIT_CODE
#else
#define PROBE_HALT_PLACEMENT
#endif

#if defined(KL_PROBE_FOREIGN_IMPORTS)
extern "C" VOID NTAPI NdisMSleep(ULONG MicrosecondsToSleep);
extern "C" VOID NTAPI KeBugCheckEx(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                   ULONG_PTR P4);
// NdisMSendComplete as a driver that forgot its status argument would import it.
extern "C" VOID NTAPI
SendCompleteWithoutStatus(NDIS_HANDLE Handle, PNDIS_PACKET Packet) __asm__("_NdisMSendComplete@8");
#endif

namespace {

struct ProbeAdapter {
  NDIS_HANDLE Handle;
  PUCHAR Port;
  UINT Base;
  NDIS_MINIPORT_INTERRUPT Interrupt;
  NDIS_MINIPORT_TIMER Timer;
  ULONG Ticks;
};

constexpr UINT kPortCount = 16;
constexpr UINT kInterrupt = 5;

// Offsets of the echo device the tests put on the bus, and what the probe
// stores there.
constexpr UINT kByteOffset = 0;
constexpr UINT kWordOffset = 2;
constexpr UINT kStringOffset = 4;
constexpr UINT kTickOffset = 8;
constexpr UINT kSyncOffset = 9;
constexpr UCHAR kByteValue = 0xA5;
constexpr USHORT kWordValue = 0xBEEF;
constexpr ULONG kStallMicroseconds = 1500;
constexpr ULONG kMarker = 0xDEADBEEF;

NDIS_HANDLE Wrapper;
// A relocated pointer to relocated data: both must survive the move to a
// fresh base.
const char Signature[] = "KL7046 probe";
const char* const SignatureAddress = Signature;

NDIS_PHYSICAL_ADDRESS const HighestAddress = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);

// Stalls with the stack 4 bytes off a 16-byte boundary, as code built for
// Windows may call: only 4-byte alignment is promised there.
void StallMisaligned(ULONG microseconds) {
  __asm__ volatile(
      "mov %%esp, %%esi\n\t"
      "and $-16, %%esp\n\t"
      "sub $4, %%esp\n\t"
      "push %[microseconds]\n\t"
      "call *%[stall]\n\t"
      "mov %%esi, %%esp"
      :
      : [microseconds] "r"(microseconds), [stall] "r"(&KeStallExecutionProcessor)
      : "esi", "eax", "ecx", "edx", "memory", "cc");
}

VOID NDIS_API ProbeTimer(PVOID, PVOID Context, PVOID, PVOID) {
  auto* adapter = static_cast<ProbeAdapter*>(Context);
  ++adapter->Ticks;
  WRITE_PORT_UCHAR(adapter->Port + kTickOffset, static_cast<UCHAR>(adapter->Ticks));
}

BOOLEAN NDIS_API ProbeSynchronized(PVOID Context) {
  auto* adapter = static_cast<ProbeAdapter*>(Context);
  WRITE_PORT_UCHAR(adapter->Port + kSyncOffset, 0x5C);
  return TRUE;
}

VOID NDIS_API ProbeDisableInterrupt(NDIS_HANDLE) {}
VOID NDIS_API ProbeEnableInterrupt(NDIS_HANDLE) {}
VOID NDIS_API ProbeHandleInterrupt(NDIS_HANDLE) {}

VOID NDIS_API ProbeIsr(PBOOLEAN Recognized, PBOOLEAN Queue, NDIS_HANDLE) {
  *Recognized = FALSE;
  *Queue = FALSE;
}

NDIS_STATUS NDIS_API ProbeInitialize(PNDIS_STATUS, PUINT SelectedMediumIndex,
                                     PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE Handle, NDIS_HANDLE Configuration) {
  UINT medium = 0;
  while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) {
    ++medium;
  }
  if (medium == MediumArraySize) {
    return NDIS_STATUS_UNSUPPORTED_MEDIA;
  }
  *SelectedMediumIndex = medium;

  NDIS_STATUS status;
  NDIS_HANDLE config;
  NdisOpenConfiguration(&status, &config, Configuration);
  if (status != NDIS_STATUS_SUCCESS) {
    return status;
  }
  NDIS_STRING keyword = NDIS_STRING_CONST("IoBaseAddress");
  PNDIS_CONFIGURATION_PARAMETER parameter;
  NdisReadConfiguration(&status, &parameter, config, &keyword, NdisParameterHexInteger);
  const UINT base = status == NDIS_STATUS_SUCCESS ? parameter->ParameterData.IntegerData : 0;
  NdisCloseConfiguration(config);

  ProbeAdapter* adapter;
  status = NdisAllocateMemory(reinterpret_cast<PVOID*>(&adapter), sizeof(ProbeAdapter), 0,
                              HighestAddress);
  if (status != NDIS_STATUS_SUCCESS) {
    return status;
  }
  adapter->Handle = Handle;
  adapter->Base = base;
  adapter->Ticks = 0;
  NdisMSetAttributesEx(Handle, adapter, 0, 0, NdisInterfaceIsa);
  PVOID port;
  status = NdisMRegisterIoPortRange(&port, Handle, base, kPortCount);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisFreeMemory(adapter, sizeof(ProbeAdapter), 0);
    return status;
  }
  adapter->Port = static_cast<PUCHAR>(port);

  WRITE_PORT_UCHAR(adapter->Port + kByteOffset, kByteValue);
  const UCHAR byte = READ_PORT_UCHAR(adapter->Port + kByteOffset);
  auto* word = reinterpret_cast<PUSHORT>(adapter->Port + kWordOffset);
  WRITE_PORT_USHORT(word, kWordValue);
  const USHORT wordBack = READ_PORT_USHORT(word);
  UCHAR out[3] = {0x11, 0x22, 0x33};
  UCHAR in[3] = {};
  WRITE_PORT_BUFFER_UCHAR(adapter->Port + kStringOffset, out, 3);
  READ_PORT_BUFFER_UCHAR(adapter->Port + kStringOffset, in, 3);
  StallMisaligned(kStallMicroseconds);

  // Values the tests compare: what came back through the ports, the
  // processor count, and a relocated pointer's first bytes.
  const ULONG stringBack = in[0] | (in[1] << 8U) | (in[2] << 16U);
  const ULONG signature =
      static_cast<UCHAR>(SignatureAddress[0]) | (static_cast<UCHAR>(SignatureAddress[1]) << 8U);
  NdisWriteErrorLogEntry(Handle, NDIS_ERROR_CODE_DRIVER_FAILURE, 6, static_cast<ULONG>(byte),
                         static_cast<ULONG>(wordBack), stringBack,
                         static_cast<ULONG>(NdisSystemProcessorCount()), signature, kMarker);

  status = NdisMRegisterInterrupt(&adapter->Interrupt, Handle, kInterrupt, kInterrupt, FALSE, FALSE,
                                  NdisInterruptLatched);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisMDeregisterIoPortRange(Handle, base, kPortCount, port);
    NdisFreeMemory(adapter, sizeof(ProbeAdapter), 0);
    return status;
  }
  NdisMSynchronizeWithInterrupt(&adapter->Interrupt, reinterpret_cast<PVOID>(&ProbeSynchronized),
                                adapter);
  NdisMInitializeTimer(&adapter->Timer, Handle, ProbeTimer, adapter);
  NdisMSetPeriodicTimer(&adapter->Timer, 1000);
  return NDIS_STATUS_SUCCESS;
}

PROBE_HALT_PLACEMENT VOID NDIS_API ProbeHalt(NDIS_HANDLE Context) {
  auto* adapter = static_cast<ProbeAdapter*>(Context);
  BOOLEAN cancelled;
  NdisMCancelTimer(&adapter->Timer, &cancelled);
  NdisMDeregisterInterrupt(&adapter->Interrupt);
  NdisMDeregisterIoPortRange(adapter->Handle, adapter->Base, kPortCount, adapter->Port);
  NdisFreeMemory(adapter, sizeof(ProbeAdapter), 0);
}

NDIS_STATUS NDIS_API ProbeReset(PBOOLEAN AddressingReset, NDIS_HANDLE) {
  *AddressingReset = FALSE;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NDIS_API ProbeQuery(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG BytesWritten,
                                PULONG BytesNeeded) {
  *BytesWritten = 0;
  *BytesNeeded = 0;
  return NDIS_STATUS_INVALID_OID;
}

NDIS_STATUS NDIS_API ProbeSet(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG BytesRead,
                              PULONG BytesNeeded) {
  *BytesRead = 0;
  *BytesNeeded = 0;
  return NDIS_STATUS_INVALID_OID;
}

NDIS_STATUS NDIS_API ProbeSend(NDIS_HANDLE, PNDIS_PACKET, UINT) { return NDIS_STATUS_SUCCESS; }

}  // namespace

extern "C" NDIS_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                     PUNICODE_STRING RegistryPath) {
  NdisInitializeWrapper(&Wrapper, DriverObject, RegistryPath, nullptr);
  NDIS40_MINIPORT_CHARACTERISTICS table = {};
  table.MajorNdisVersion = 4;
  table.MinorNdisVersion = 0;
  table.DisableInterruptHandler = ProbeDisableInterrupt;
  table.EnableInterruptHandler = ProbeEnableInterrupt;
  table.HaltHandler = ProbeHalt;
  table.HandleInterruptHandler = ProbeHandleInterrupt;
  table.InitializeHandler = ProbeInitialize;
  table.ISRHandler = ProbeIsr;
  table.QueryInformationHandler = ProbeQuery;
  table.ResetHandler = ProbeReset;
  table.SendHandler = ProbeSend;
  table.SetInformationHandler = ProbeSet;
#if defined(KL_PROBE_FOREIGN_IMPORTS)
  NdisMSleep(1);
  KeBugCheckEx(0, 0, 0, 0, 0);
#endif
  return NdisMRegisterMiniport(Wrapper, &table, sizeof(table)) == NDIS_STATUS_SUCCESS
             ? STATUS_SUCCESS
             : STATUS_UNSUCCESSFUL;
}
