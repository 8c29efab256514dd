#include "sim/host/miniport_adapter.h"

#include <algorithm>
#include <string>

#include "sim/host/handler_names.h"
#include "sim/host/machine.h"
#include "sim/host/protocol.h"

namespace kl::sim {

MiniportAdapter::MiniportAdapter(Machine& machine, AdapterSetup setup)
    : machine_(machine), setup_(std::move(setup)) {
  machine_.handles().add(handle(), HandleKind::Adapter, *this);
  machine_.handles().add(configurationContext(), HandleKind::ConfigurationContext, *this);
}

MiniportAdapter::~MiniportAdapter() {
  for (const auto& open : configurations_) {
    machine_.handles().remove(open.get());
  }
  machine_.handles().remove(configurationContext());
  machine_.handles().remove(handle());
}

template <class Handler>
NDIS_STATUS MiniportAdapter::callHandler(Irql level, std::string_view name, Handler&& handler) {
  const Machine::Current current(machine_);
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  machine_.processor().serialized(level, name, [&] { status = handler(); });
  checkStatus(name, status);
  return status;
}

void MiniportAdapter::checkStatus(std::string_view handler, NDIS_STATUS status) {
  const auto code = static_cast<std::uint32_t>(status);
  const bool success = code == static_cast<std::uint32_t>(NDIS_STATUS_SUCCESS);
  const bool pending = code == static_cast<std::uint32_t>(NDIS_STATUS_PENDING);
  const bool error = (code & 0xC0000000U) == 0xC0000000U;
  if (!success && !pending && !error) {
    machine_.violation(std::string(handler) + " returned a status that is neither success, " +
                       "pending nor an error: " + std::to_string(code));
  }
}

NDIS_STATUS MiniportAdapter::initialize(std::vector<NDIS_MEDIUM> media) {
  const auto* table = machine_.characteristics();
  if (table == nullptr) {
    machine_.violation("an adapter was initialised before a miniport registered");
    return NDIS_STATUS_FAILURE;
  }
  NDIS_STATUS openError = NDIS_STATUS_SUCCESS;
  UINT selected = ~0U;
  const std::size_t memoryBefore = machine_.memoryBlocksHeld();
  const NDIS_STATUS status = callHandler(Irql::Passive, kMiniportInitialize, [&] {
    return table->InitializeHandler(&openError, &selected, media.data(),
                                    static_cast<UINT>(media.size()), handle(),
                                    configurationContext());
  });
  if (!configurations_.empty()) {
    machine_.violation("MiniportInitialize returned with a configuration handle still open");
    for (const auto& open : configurations_) {
      machine_.handles().remove(open.get());
    }
    configurations_.clear();
  }
  if (status == NDIS_STATUS_SUCCESS) {
    if (selected >= media.size()) {
      machine_.violation("MiniportInitialize succeeded without selecting a medium it was offered");
    }
    initialized_ = true;
    selectedMedium_ = selected;
    memoryTaken_ = machine_.memoryBlocksHeld() - memoryBefore;
    if (table->CheckForHangHandler != nullptr) {
      hangCheck_.start(attributes_.checkForHangSeconds);
    }
  } else {
    checkGivenBack("a failed MiniportInitialize", machine_.memoryBlocksHeld() - memoryBefore);
  }
  return status;
}

void MiniportAdapter::checkGivenBack(const char* after, std::size_t memoryKept) {
  const std::string when(after);
  if (memoryKept != 0) {
    machine_.violation(when + " kept " + std::to_string(memoryKept) + " memory block(s)");
  }
  if (const std::size_t ranges = machine_.ioPortRangesHeldBy(*this); ranges != 0) {
    machine_.violation(when + " kept " + std::to_string(ranges) + " I/O port range(s)");
  }
  if (interrupt_.dropLeftOver()) {
    machine_.violation(when + " left its interrupt connected");
  }
  if (timers_.anyArmed()) {
    machine_.violation(when + " left a timer set");
  }
  timers_.forget();
  attributes_.context = nullptr;
}

void MiniportAdapter::halt() {
  if (!initialized_) {
    machine_.violation("halt of an adapter that is not initialised");
    return;
  }
  const auto* table = machine_.characteristics();
  const std::size_t memoryBefore = machine_.memoryBlocksHeld();
  // From the call on, the adapter is gone to NDIS, and its record with it.
  initialized_ = false;
  hangCheck_.stop();
  halting_ = true;
  const Machine::Current current(machine_);
  machine_.processor().serialized(Irql::Passive, kMiniportHalt,
                                  [&] { table->HaltHandler(context()); });
  halting_ = false;
  if (!outstanding_.empty()) {
    machine_.violation("MiniportHalt returned still holding packets it never completed");
  }
  const std::size_t freed = memoryBefore - machine_.memoryBlocksHeld();
  checkGivenBack("MiniportHalt", memoryTaken_ > freed ? memoryTaken_ - freed : 0);
  if (freed > memoryTaken_) {
    machine_.violation("MiniportHalt freed memory it did not take for the adapter");
  }
}

NDIS_STATUS MiniportAdapter::reset() {
  BOOLEAN addressingReset = FALSE;
  const auto* table = machine_.characteristics();
  return callHandler(Irql::Dispatch, kMiniportReset,
                     [&] { return table->ResetHandler(&addressingReset, context()); });
}

NDIS_STATUS MiniportAdapter::query(NDIS_OID oid, std::span<std::uint8_t> buffer,
                                   ULONG& bytesWritten, ULONG& bytesNeeded) {
  const auto* table = machine_.characteristics();
  return callHandler(Irql::Dispatch, kMiniportQueryInformation, [&] {
    return table->QueryInformationHandler(context(), oid, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &bytesWritten,
                                          &bytesNeeded);
  });
}

NDIS_STATUS MiniportAdapter::set(NDIS_OID oid, std::span<std::uint8_t> buffer, ULONG& bytesRead,
                                 ULONG& bytesNeeded) {
  const auto* table = machine_.characteristics();
  return callHandler(Irql::Dispatch, kMiniportSetInformation, [&] {
    return table->SetInformationHandler(
        context(), oid, buffer.data(), static_cast<ULONG>(buffer.size()), &bytesRead, &bytesNeeded);
  });
}

NDIS_STATUS MiniportAdapter::send(NDIS_PACKET& packet) {
  if (holds(packet)) {
    machine_.violation("a packet was sent again before its completion");
    return NDIS_STATUS_FAILURE;
  }
  outstanding_.push_back(&packet);
  if (machine_.processor().inSerializedHandler()) {
    if (queuedSends_.empty()) {
      machine_.processor().queueDeferred([this] { sendQueued(); });
    }
    queuedSends_.push_back(&packet);
    return NDIS_STATUS_PENDING;
  }
  return sendNow(packet);
}

NDIS_STATUS MiniportAdapter::sendNow(NDIS_PACKET& packet) {
  const auto* table = machine_.characteristics();
  const NDIS_STATUS status = callHandler(Irql::Dispatch, kMiniportSend,
                                         [&] { return table->SendHandler(context(), &packet, 0); });
  if (status != NDIS_STATUS_PENDING && holds(packet)) {
    completeSend(packet, status);
  }
  return status;
}

// Deferred work, run once no serialised handler does.
void MiniportAdapter::sendQueued() {
  while (!queuedSends_.empty()) {
    NDIS_PACKET& packet = *queuedSends_.front();
    queuedSends_.pop_front();
    sendNow(packet);
  }
}

void MiniportAdapter::sendComplete(NDIS_PACKET& packet, NDIS_STATUS status) {
  if (!holds(packet)) {
    machine_.violation("NdisMSendComplete for a packet the miniport does not hold");
    return;
  }
  checkStatus("NdisMSendComplete", status);
  completeSend(packet, status);
}

void MiniportAdapter::completeSend(NDIS_PACKET& packet, NDIS_STATUS status) {
  // The list's order means nothing: the last one takes the place freed.
  const auto held = std::find(outstanding_.begin(), outstanding_.end(), &packet);
  if (held != outstanding_.end()) {
    *held = outstanding_.back();
    outstanding_.pop_back();
  }
  if (protocol_ != nullptr) {
    protocol_->sendComplete(*this, packet, status);
  }
}

NDIS_STATUS MiniportAdapter::transferData(NDIS_PACKET& packet, UINT offset, UINT length,
                                          UINT& transferred) {
  if (!indicating_) {
    machine_.violation("transfer-data outside a receive indication");
    return NDIS_STATUS_FAILURE;
  }
  // Already inside the serialised receive path: the handler runs nested in it.
  const auto* table = machine_.characteristics();
  const NDIS_STATUS status = machine_.processor().within(kMiniportTransferData, [&] {
    return table->TransferDataHandler(&packet, &transferred, context(), receiveContext_, offset,
                                      length);
  });
  checkStatus(kMiniportTransferData, status);
  if (status == NDIS_STATUS_PENDING) {
    machine_.violation("MiniportTransferData pended; this miniport completes it synchronously");
  }
  return status;
}

void MiniportAdapter::indicateReceive(NDIS_HANDLE receiveContext,
                                      std::span<const std::uint8_t> header,
                                      std::span<const std::uint8_t> lookahead, UINT packetSize) {
  if (!machine_.checkCall(PlatformCall::NdisMEthIndicateReceive)) {
    return;
  }
  if (header.size() != 14) {
    machine_.violation("an Ethernet receive indication with a header size other than 14");
  }
  if (lookahead.size() > packetSize) {
    machine_.violation("a receive indication whose lookahead is larger than the packet");
  }
  if (protocol_ == nullptr) {
    return;
  }
  indicating_ = true;
  receiveContext_ = receiveContext;
  protocol_->receive(*this, header, lookahead, packetSize);
  indicating_ = false;
  receiveContext_ = nullptr;
}

void MiniportAdapter::indicateReceiveComplete() {
  if (!machine_.checkCall(PlatformCall::NdisMEthIndicateReceiveComplete)) {
    return;
  }
  if (protocol_ != nullptr) {
    protocol_->receiveComplete(*this);
  }
}

// ---------------------------------------------------------------------------
// Library side.

OpenConfiguration& MiniportAdapter::openConfiguration() {
  OpenConfiguration& opened =
      *configurations_.emplace_back(std::make_unique<OpenConfiguration>(*this, setup_));
  machine_.handles().add(&opened, HandleKind::Configuration, *this);
  return opened;
}

// The handle was found open in the machine's table.
void MiniportAdapter::closeConfiguration(const OpenConfiguration& configuration) {
  machine_.handles().remove(&configuration);
  std::erase_if(configurations_, [&](const auto& open) { return open.get() == &configuration; });
}

ULONG MiniportAdapter::readAttributeMemory(ULONG offset, std::span<std::uint8_t> buffer) const {
  const auto& memory = setup_.attributeMemory;
  if (offset >= memory.size()) {
    return 0;
  }
  const std::size_t count = std::min<std::size_t>(buffer.size(), memory.size() - offset);
  std::copy_n(memory.begin() + offset, count, buffer.begin());
  return static_cast<ULONG>(count);
}

}  // namespace kl::sim
