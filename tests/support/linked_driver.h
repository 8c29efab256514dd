// The driver linked into this program, loaded into a machine that then holds
// it to what its records must always show between two handlers: whose record
// is this program's own to read, unlike an image's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "driver/adapter.h"

namespace kl::sim {
class Machine;
}  // namespace kl::sim

namespace kl::test {

// Calls the linked DriverEntry as the system does, and from then on has the
// machine check every running adapter's transmit and receive rings each time
// a serialised handler returns; an inconsistent ring breaks a rule.
NTSTATUS loadLinkedDriver(sim::Machine& machine);

// What is inconsistent in the adapter's transmit ring and send queue, with
// `packetsHeld` packets handed to the miniport and not completed; nothing
// when the ring's indices, its buffers' states and lengths and the queue
// agree with each other.
[[nodiscard]] std::optional<std::string> transmitRingFault(const Adapter& adapter,
                                                           std::size_t packetsHeld);

// The card's registers that the receive side leaves at rest, as the card
// model holds them.
struct RegistersAtRest {
  UCHAR page = 0;  // the register page CR selects
  UCHAR bnry = 0;
};

// What is inconsistent between handlers in the adapter's receive ring: the
// page the driver reads next outside the ring, an overflow recovery left
// unfinished, and, where the card answers (`card`), BNRY not one page behind
// that page or a register page other than 0 selected.
[[nodiscard]] std::optional<std::string> receiveRingFault(
    const Adapter& adapter, const std::optional<RegistersAtRest>& card);

}  // namespace kl::test
