// The HAL's port and stall entry points, on this thread's machine.
#include <span>

#include "platform/hal.h"
#include "sim/host/machine.h"

using kl::sim::Machine;
using kl::sim::PortAddress;

namespace {

PortAddress portOf(const void* port) {
  return static_cast<PortAddress>(reinterpret_cast<ULONG_PTR>(port));
}

// String buffers carry no alignment promise; the bus sees them as bytes.
std::span<std::uint8_t> bytesOf(void* buffer, ULONG count, std::size_t width) {
  return {static_cast<std::uint8_t*>(buffer), count * width};
}

}  // namespace

extern "C" {

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) { return Machine::current().bus().read8(portOf(Port)); }

USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) {
  return Machine::current().bus().read16(portOf(Port));
}

VOID NTAPI READ_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
  Machine::current().bus().readString8(portOf(Port), bytesOf(Buffer, Count, 1));
}

VOID NTAPI READ_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  Machine::current().bus().readString16(portOf(Port), bytesOf(Buffer, Count, 2));
}

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  Machine::current().bus().write8(portOf(Port), Value);
}

VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
  Machine::current().bus().write16(portOf(Port), Value);
}

VOID NTAPI WRITE_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
  Machine::current().bus().writeString8(portOf(Port), bytesOf(Buffer, Count, 1));
}

VOID NTAPI WRITE_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  Machine::current().bus().writeString16(portOf(Port), bytesOf(Buffer, Count, 2));
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  Machine& machine = Machine::current();
  machine.runFor(std::chrono::microseconds(MicroSeconds));
  machine.checkHandlerStillInBounds();
}

}  // extern "C"
