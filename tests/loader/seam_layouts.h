// Every type that crosses the seam between a driver image built for i386
// Windows and the 32-bit host, with every member: what both compilers must
// lay out alike.
#pragma once

#include "driver/adapter.h"
#include "platform/ndis.h"

#include "tests/windows/platform_layouts.h"

// TYPE(name) for each type whose size and alignment must agree.
#define KL_SEAM_TYPES(TYPE)                                                    \
  KL_PLATFORM_TYPES(TYPE)                                                      \
  /* The miniport's own record: a test of the loaded driver reads it as the */ \
  /* host's compiler lays it out. */                                           \
  TYPE(Adapter)

// MEMBER(type, member) for each member whose offset and size must agree.
#define KL_SEAM_MEMBERS(MEMBER)                   \
  KL_PLATFORM_MEMBERS(MEMBER)                     \
  MEMBER(NDIS40_MINIPORT_CHARACTERISTICS, Filler) \
  MEMBER(Adapter, MiniportHandle)                 \
  MEMBER(Adapter, Interrupt)                      \
  MEMBER(Adapter, Next)                           \
  MEMBER(Adapter, Timer)
