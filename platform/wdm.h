// The kernel objects NDIS embeds in the structures a miniport provides the
// storage for (its interrupt and timer objects), and the memory descriptor
// list that describes a piece of a packet on NT.
//
// A miniport never reads or writes the insides of the kernel objects; they are
// declared whole only so that the structures holding them have the size and
// member offsets the x86 kernel gives them, and NDIS finds the room it fills.
#pragma once

#include "platform/ntdef.h"

typedef SHORT CSHORT;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// What every object a thread can wait on begins with.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;  // in 32-bit words
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KDPC* PKDPC;
typedef VOID(NTAPI* PKDEFERRED_ROUTINE)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                        PVOID SystemArgument2);

// A deferred procedure call: a routine queued from the interrupt level to
// run at DISPATCH level.
typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;
} KDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  PKDPC Dpc;
  ULONG Period;
} KTIMER, *PKTIMER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT;

// The system's interrupt object: a pointer the miniport only stores.
typedef struct _KINTERRUPT* PKINTERRUPT;

// ---------------------------------------------------------------------------
// Memory descriptor lists. An MDL describes a virtually contiguous piece of
// memory: ByteCount bytes from ByteOffset into the page at StartVa, followed
// in memory by the page frame numbers of the pages it spans.

#define PAGE_SIZE 0x1000

typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;  // of the MDL with its page frame numbers, in bytes
  CSHORT MdlFlags;
  struct _EPROCESS* Process;
  PVOID MappedSystemVa;  // the system address, while MDL_MAPPED_TO_SYSTEM_VA
  PVOID StartVa;         // page-aligned
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

inline ULONG MmGetMdlByteCount(const MDL* Mdl) { return Mdl->ByteCount; }
inline ULONG MmGetMdlByteOffset(const MDL* Mdl) { return Mdl->ByteOffset; }
inline PVOID MmGetMdlVirtualAddress(const MDL* Mdl) {
  return static_cast<PUCHAR>(Mdl->StartVa) + Mdl->ByteOffset;
}

// The pages that `Size` bytes from `Va` touch.
inline ULONG ADDRESS_AND_SIZE_TO_SPAN_PAGES(const void* Va, ULONG Size) {
  const ULONG_PTR offset = reinterpret_cast<ULONG_PTR>(Va) & (PAGE_SIZE - 1);
  return static_cast<ULONG>((offset + Size + PAGE_SIZE - 1) / PAGE_SIZE);
}
