// What the kernel writes into the objects NDIS embeds in a miniport's
// structures when it initialises them.
#pragma once

#include <cstddef>

#include "platform/wdm.h"

namespace kl::sim {

// Dispatcher object types, as the kernel numbers them.
inline constexpr UCHAR kEventNotificationObject = 0;
inline constexpr UCHAR kTimerNotificationObject = 8;
inline constexpr UCHAR kDpcObject = 19;

// A header of `type` for an object of `size` bytes, unsignalled, with no
// waiters.
void initializeHeader(DISPATCHER_HEADER& header, UCHAR type, std::size_t size);
// A DPC that is not queued and runs `routine` with `context`.
void initializeDpc(KDPC& dpc, PKDEFERRED_ROUTINE routine, PVOID context);
// A notification event, not signalled.
void initializeEvent(KEVENT& event);

}  // namespace kl::sim
