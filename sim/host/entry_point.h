// Marks the host's implementations of the platform's operations.
//
// A driver built for i386 Windows calls them with the stack aligned to 4
// bytes only, while code built for this host assumes the 16 bytes of the
// System V ABI on entry; each entry point therefore realigns its own stack
// before anything that relies on that runs.
#pragma once

#if defined(__i386__)
#define KL_ENTRY_POINT __attribute__((force_align_arg_pointer))
#else
#define KL_ENTRY_POINT
#endif
