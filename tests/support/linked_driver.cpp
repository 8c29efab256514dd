#include "support/linked_driver.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "driver/driver_entry.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"

namespace kl::test {

namespace {

// The ring's own arithmetic, written out here rather than taken from the
// driver, so that a slip in the driver's shows.
constexpr ULONG kBufferBytes = 256;
constexpr ULONG kEmpty = 0;
constexpr ULONG kFull = 2;
constexpr LONG kIdle = -1;

std::string at(const char* field, ULONG index) {
  return std::string(field) + "[" + std::to_string(index) + "]";
}

// The packet after `packet` in the send queue: the first pointer of its
// MiniportReserved area.
const NDIS_PACKET* queueLink(const NDIS_PACKET* packet) {
  std::uintptr_t next = 0;
  std::memcpy(&next, packet->MiniportReserved, sizeof(next));
  return reinterpret_cast<const NDIS_PACKET*>(next);
}

std::optional<std::string> sendQueueFault(const Adapter& adapter, std::size_t packetsHeld) {
  if ((adapter.SendQueueHead == nullptr) != (adapter.SendQueueTail == nullptr)) {
    return "the send queue has a head or a tail but not both";
  }
  // Every packet the miniport holds waits in the queue: the others were
  // completed once they reached the card.
  std::size_t queued = 0;
  const NDIS_PACKET* last = nullptr;
  for (const NDIS_PACKET* packet = adapter.SendQueueHead; packet != nullptr;
       packet = queueLink(packet)) {
    if (++queued > packetsHeld) {
      return "the send queue holds more packets than the miniport was given (" +
             std::to_string(packetsHeld) + "), or loops";
    }
    last = packet;
  }
  if (last != adapter.SendQueueTail) {
    return std::string("the send queue's tail is not its last packet");
  }
  if (queued != packetsHeld) {
    return "the send queue holds " + std::to_string(queued) + " packets, the miniport " +
           std::to_string(packetsHeld) + " that it has not completed";
  }
  return std::nullopt;
}

std::string page(ULONG number) {
  constexpr std::string_view kDigits = "0123456789ABCDEF";
  return {'0', 'x', kDigits[(number >> 4) & 0xF], kDigits[number & 0xF]};
}

// The registers of the card model at the adapter's ports (behind whatever
// stands in front of it on the bus), read from the model rather than through
// the bus, which would count as the driver's accesses and move the card's
// state. Nothing for a card out of its socket, which keeps none of what the
// driver writes, or for ports with no card model behind them.
std::optional<RegistersAtRest> registersAtRest(sim::Machine& machine, const Adapter& adapter) {
  const auto port = static_cast<sim::PortAddress>(reinterpret_cast<std::uintptr_t>(adapter.IoPort));
  sim::IoDevice* device = machine.bus().deviceAt(port);
  while (device != nullptr && device->deviceBehind() != nullptr) {
    device = device->deviceBehind();
  }
  auto* card = dynamic_cast<sim::card::Card*>(device);
  if (card == nullptr || card->faults().removed) {
    return std::nullopt;
  }
  return RegistersAtRest{.page = card->controller().page(), .bnry = card->controller().bnry()};
}

}  // namespace

std::optional<std::string> transmitRingFault(const Adapter& adapter, std::size_t packetsHeld) {
  const ULONG buffers = kTxBufferCount;
  if (adapter.TxBufferCount != buffers) {
    return "TxBufferCount is " + std::to_string(adapter.TxBufferCount);
  }
  if (adapter.NextTxFill >= buffers || adapter.NextTxSend >= buffers) {
    return "NextTxFill " + std::to_string(adapter.NextTxFill) + " or NextTxSend " +
           std::to_string(adapter.NextTxSend) + " lies outside the ring";
  }
  ULONG full = 0;
  for (ULONG i = 0; i < buffers; ++i) {
    const ULONG state = adapter.TxBufferState[i];
    if (state != kEmpty && state != kFull) {
      return at("TxBufferState", i) + " is " + std::to_string(state);
    }
    full += state == kFull ? 1 : 0;
  }
  if (adapter.CurrentTx == kIdle) {
    if (full != 0) {
      return std::to_string(full) + " buffers are full while the transmitter is idle";
    }
    if (adapter.NextTxSend != adapter.NextTxFill) {
      return "the ring is empty but NextTxSend " + std::to_string(adapter.NextTxSend) +
             " is not NextTxFill " + std::to_string(adapter.NextTxFill);
    }
    return sendQueueFault(adapter, packetsHeld);
  }
  if (adapter.CurrentTx < 0 || static_cast<ULONG>(adapter.CurrentTx) != adapter.NextTxSend) {
    return "CurrentTx " + std::to_string(adapter.CurrentTx) + " is not NextTxSend " +
           std::to_string(adapter.NextTxSend);
  }

  // Frame by frame from the one being sent, as the send side will take
  // them: each in full buffers that fit before the ring's end, until the
  // send side meets the fill side; and no full buffer left over.
  ULONG index = adapter.NextTxSend;
  ULONG walked = 0;
  do {
    if (adapter.TxBufferState[index] != kFull) {
      return "the send side reaches the empty " + at("TxBufferState", index) +
             " short of NextTxFill " + std::to_string(adapter.NextTxFill);
    }
    const ULONG length = adapter.TxBufferLength[index];
    const ULONG count = (length + kBufferBytes - 1) / kBufferBytes;
    if (count == 0 || index + count > buffers) {
      return "the frame of " + std::to_string(length) + " bytes at buffer " +
             std::to_string(index) + " does not fit the ring";
    }
    for (ULONG i = index; i < index + count; ++i) {
      if (adapter.TxBufferState[i] != kFull) {
        return at("TxBufferState", i) + " of the frame at buffer " + std::to_string(index) +
               " is empty";
      }
    }
    walked += count;
    index = index + count == buffers ? 0 : index + count;
    // Where the fill side went back to buffer 0, the send side follows.
    if (adapter.TxBufferState[index] == kEmpty && index != adapter.NextTxFill) {
      index = 0;
    }
  } while (index != adapter.NextTxFill && walked < full);
  if (index != adapter.NextTxFill) {
    return "the frames from NextTxSend end at buffer " + std::to_string(index) +
           ", not at NextTxFill " + std::to_string(adapter.NextTxFill);
  }
  if (walked != full) {
    return std::to_string(full - walked) +
           " full buffers lie outside the frames waiting to be sent";
  }
  return sendQueueFault(adapter, packetsHeld);
}

std::optional<std::string> receiveRingFault(const Adapter& adapter,
                                            const std::optional<RegistersAtRest>& card) {
  const UCHAR next = adapter.NextPacketPage;
  if (next < adapter.RxFirstPage || next >= adapter.RxStopPage) {
    return "NextPacketPage " + page(next) + " lies outside the ring " + page(adapter.RxFirstPage) +
           "-" + page(adapter.RxStopPage - 1);
  }
  if (adapter.Overflowed != FALSE) {
    return std::string("an overflow recovery was left unfinished");
  }
  if (!card) {
    return std::nullopt;
  }
  const UCHAR behind = next == adapter.RxFirstPage ? adapter.RxStopPage - 1 : next - 1;
  if (card->bnry != behind) {
    return "BNRY is " + page(card->bnry) + ", not " + page(behind) + ", one page behind " +
           "NextPacketPage " + page(next);
  }
  if (card->page != 0) {
    return "register page " + std::to_string(card->page) + " is selected at rest";
  }
  return std::nullopt;
}

NTSTATUS loadLinkedDriver(sim::Machine& machine) {
  machine.checkAfterHandlers([&machine](sim::MiniportAdapter& adapter) {
    const auto* record = static_cast<const Adapter*>(adapter.context());
    if (const auto fault = transmitRingFault(*record, adapter.packetsOutstanding())) {
      machine.violation("the transmit ring is inconsistent: " + *fault);
    }
    if (const auto fault = receiveRingFault(*record, registersAtRest(machine, *record))) {
      machine.violation("the receive ring is inconsistent: " + *fault);
    }
  });
  return machine.loadDriver(&DriverEntry);
}

}  // namespace kl::test
