#include "sim/host/kernel_objects.h"

namespace kl::sim {

void initializeHeader(DISPATCHER_HEADER& header, UCHAR type, std::size_t size) {
  header = DISPATCHER_HEADER{};
  header.Type = type;
  header.Size = static_cast<UCHAR>(size / sizeof(LONG));
  header.WaitListHead.Flink = &header.WaitListHead;
  header.WaitListHead.Blink = &header.WaitListHead;
}

void initializeDpc(KDPC& dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  dpc = KDPC{};
  dpc.Type = kDpcObject;
  dpc.Importance = 1;  // medium: queued at the end of the DPC queue
  dpc.DeferredRoutine = routine;
  dpc.DeferredContext = context;
}

void initializeEvent(KEVENT& event) {
  initializeHeader(event.Header, kEventNotificationObject, sizeof(KEVENT));
}

}  // namespace kl::sim
