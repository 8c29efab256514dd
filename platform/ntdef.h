// Basic kernel types as the NT DDK names them.
//
// Widths follow the platform, not the host compiler: ULONG is 32 bits even where
// `unsigned long` is 64, and pointer-sized types follow the build's pointer width,
// so the 32-bit build lays structures out exactly as an x86 kernel does.
#pragma once

#include <stddef.h>
#include <stdint.h>

// x86 kernel entry points use the stdcall convention; other targets have one
// calling convention and need no marker.
#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#else
#define NTAPI
#endif

#define IN
#define OUT
#define OPTIONAL

#define VOID void
typedef char CHAR;
typedef char CCHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int INT;
typedef unsigned int UINT;
// x86 Windows aligns 64-bit integers to 8 bytes wherever they lie, the System
// V i386 ABI only to 4 inside structures; stated here, a 32-bit build lays
// out every structure that holds one as the platform does.
typedef int64_t LONGLONG __attribute__((aligned(8)));
typedef uint64_t ULONGLONG __attribute__((aligned(8)));
typedef uintptr_t ULONG_PTR;
typedef UCHAR BOOLEAN;
typedef char16_t WCHAR;

typedef void* PVOID;
typedef CHAR* PCHAR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef UINT* PUINT;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWSTR;

typedef LONG NTSTATUS;

#define TRUE 1
#define FALSE 0

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS;

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes in use, without a terminator
  USHORT MaximumLength;  // bytes of Buffer
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

// The driver object and registry path handed to DriverEntry. The driver only
// passes them on to NdisInitializeWrapper, so their insides stay the system's.
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
