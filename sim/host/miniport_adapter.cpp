#include "sim/host/miniport_adapter.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "sim/bus/io_device.h"
#include "sim/host/kernel_objects.h"
#include "sim/host/machine.h"
#include "sim/host/protocol.h"

namespace kl::sim {

// ---------------------------------------------------------------------------
// Configuration.

NDIS_STATUS OpenConfiguration::read(const NDIS_STRING& keyword, NDIS_PARAMETER_TYPE type,
                                    PNDIS_CONFIGURATION_PARAMETER* parameter) {
  // Keywords are plain ASCII names.
  std::string name;
  for (const WCHAR c : std::u16string_view(keyword.Buffer, keyword.Length / sizeof(WCHAR))) {
    name.push_back(static_cast<char>(c));
  }
  owner_.noteKeywordRead(KeywordRead{name, type});
  if (const auto failure = owner_.machine().ndisFailures().call(NdisOperation::ReadConfiguration)) {
    return *failure;
  }
  const auto it = setup_.keywords.find(name);
  if (it == setup_.keywords.end()) {
    return NDIS_STATUS_FAILURE;
  }
  NDIS_CONFIGURATION_PARAMETER value{};
  value.ParameterType = type;
  if (type == NdisParameterInteger || type == NdisParameterHexInteger) {
    if (const auto* number = std::get_if<std::uint32_t>(&it->second)) {
      value.ParameterData.IntegerData = *number;
    } else {
      const auto& text = std::get<std::string>(it->second);
      const int base = type == NdisParameterHexInteger ? 16 : 10;
      std::uint32_t parsed = 0;
      const auto [end, error] =
          std::from_chars(text.data(), text.data() + text.size(), parsed, base);
      if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return NDIS_STATUS_FAILURE;
      }
      value.ParameterData.IntegerData = parsed;
    }
  } else if (type == NdisParameterString) {
    std::u16string& text = strings_.emplace_back();
    if (const auto* number = std::get_if<std::uint32_t>(&it->second)) {
      for (const char c : std::to_string(*number)) {
        text.push_back(static_cast<char16_t>(c));
      }
    } else {
      for (const char c : std::get<std::string>(it->second)) {
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
      }
    }
    value.ParameterData.StringData.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    value.ParameterData.StringData.MaximumLength = value.ParameterData.StringData.Length;
    value.ParameterData.StringData.Buffer = text.data();
  } else {
    return NDIS_STATUS_NOT_SUPPORTED;
  }
  *parameter = &parameters_.emplace_back(value);
  return NDIS_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// A connected interrupt: NDIS's interrupt path for the adapter, driven by the
// interrupt object NDIS filled in the miniport's record.

class MiniportAdapter::Interrupt final : public InterruptVector {
 public:
  Interrupt(MiniportAdapter& adapter, NDIS_MINIPORT_INTERRUPT& object, UINT vector,
            const InterruptSource* line, std::uint64_t connection)
      : adapter_(adapter), object_(object), vector_(vector), line_(line), connection_(connection) {}

  [[nodiscard]] NDIS_MINIPORT_INTERRUPT& object() const { return object_; }
  [[nodiscard]] UINT vector() const { return vector_; }

  // What NDIS writes into the object when it connects the interrupt: every
  // byte of it, the kernel's DPC and event included.
  void fill(BOOLEAN requestIsr, BOOLEAN shared) {
    object_ = NDIS_MINIPORT_INTERRUPT{};
    object_.InterruptObject = reinterpret_cast<PKINTERRUPT>(this);
    if (const auto* table = adapter_.machine_.characteristics()) {
      object_.MiniportIsr = table->ISRHandler;
      object_.MiniportDpc = table->HandleInterruptHandler;
    }
    initializeDpc(object_.InterruptDpc, Dpc, this);
    object_.Miniport = static_cast<PNDIS_MINIPORT_BLOCK>(adapter_.handle());
    initializeEvent(object_.DpcsCompletedEvent);
    object_.SharedInterrupt = shared;
    object_.IsrRequested = requestIsr;
  }

  [[nodiscard]] bool asserted() const override {
    return line_ != nullptr && line_->interruptAsserted();
  }

  // Device level. With RequestIsr FALSE NDIS masks the adapter through
  // MiniportDisableInterrupt and always queues the DPC; otherwise the ISR says
  // whether the interrupt was the adapter's and whether to queue it.
  void service() override {
    bool queue = true;
    if (object_.IsrRequested != FALSE) {
      BOOLEAN recognized = FALSE;
      BOOLEAN queueDpc = FALSE;
      object_.MiniportIsr(&recognized, &queueDpc, adapter_.context());
      queue = recognized != FALSE && queueDpc != FALSE;
    } else {
      adapter_.machine_.characteristics()->DisableInterruptHandler(adapter_.context());
    }
    if (asserted()) {
      adapter_.machine_.violation(
          "the interrupt line is still asserted after the miniport's interrupt routine returned");
    }
    if (queue && object_.DpcCount == 0) {
      ++object_.DpcCount;
      adapter_.machine_.processor().queueDeferred(
          [&adapter = adapter_, connection = connection_] { runDpc(adapter, connection); });
    }
  }

  // The interrupt DPC: the miniport's deferred handler, then its interrupts
  // enabled again at device level.
  static VOID NTAPI Dpc(PKDPC /*dpc*/, PVOID context, PVOID /*argument1*/, PVOID /*argument2*/) {
    auto& self = *static_cast<Interrupt*>(context);
    Machine& machine = self.adapter_.machine_;
    self.object_.MiniportDpc(self.adapter_.context());
    machine.processor().atDeviceLevel(
        [&] { machine.characteristics()->EnableInterruptHandler(self.adapter_.context()); });
  }

 private:
  // The DPC may outlive the connection it was queued for: the miniport can
  // deregister its interrupt, and free the object, before the DPC gets to run.
  static void runDpc(MiniportAdapter& adapter, std::uint64_t connection) {
    if (!adapter.interrupt_ || adapter.interrupt_->connection_ != connection) {
      return;
    }
    NDIS_MINIPORT_INTERRUPT& object = adapter.interrupt_->object_;
    --object.DpcCount;
    adapter.machine_.processor().serialized([&] {
      object.InterruptDpc.DeferredRoutine(&object.InterruptDpc, object.InterruptDpc.DeferredContext,
                                          nullptr, nullptr);
    });
  }

  MiniportAdapter& adapter_;
  NDIS_MINIPORT_INTERRUPT& object_;
  UINT vector_;
  const InterruptSource* line_;
  std::uint64_t connection_;
};

// ---------------------------------------------------------------------------
// A miniport timer on the virtual clock. NDIS fills the timer object whole;
// when the kernel timer expires its DPC runs the miniport's timer function.

class MiniportAdapter::Timer {
 public:
  Timer(MiniportAdapter& adapter, NDIS_MINIPORT_TIMER& object)
      : adapter_(adapter), object_(object) {}
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer() { cancel(); }

  void fill(PNDIS_TIMER_FUNCTION function, PVOID context) {
    object_ = NDIS_MINIPORT_TIMER{};
    initializeHeader(object_.Timer.Header, kTimerNotificationObject, sizeof(KTIMER));
    initializeDpc(object_.Dpc, Dpc, &object_);
    object_.MiniportTimerFunction = function;
    object_.MiniportTimerContext = context;
    object_.Miniport = static_cast<PNDIS_MINIPORT_BLOCK>(adapter_.handle());
  }

  void setPeriodic(UINT milliseconds) {
    cancel();
    period_ = std::chrono::milliseconds(milliseconds);
    object_.Timer.Period = milliseconds;
    object_.Timer.Dpc = &object_.Dpc;
    arm();
  }

  [[nodiscard]] bool armed() const { return pending_.has_value(); }

  // Returns whether the timer was still set.
  bool cancel() {
    ++generation_;
    const bool wasSet = pending_.has_value();
    if (pending_) {
      adapter_.machine_.clock().cancel(*pending_);
      pending_.reset();
      object_.Timer.Header.Inserted = FALSE;
    }
    return wasSet;
  }

  // The timer's DPC, as NDIS's own: the timer function with its context.
  static VOID NTAPI Dpc(PKDPC dpc, PVOID context, PVOID /*argument1*/, PVOID /*argument2*/) {
    auto& object = *static_cast<NDIS_MINIPORT_TIMER*>(context);
    object.MiniportTimerFunction(dpc, object.MiniportTimerContext, nullptr, nullptr);
  }

 private:
  void arm() {
    object_.Timer.Header.Inserted = TRUE;
    pending_ = adapter_.machine_.clock().scheduleIn(period_, [this] { expire(); });
  }

  // The DPC runs as deferred work, which may find the timer cancelled or
  // initialised afresh by then.
  void expire() {
    pending_.reset();
    arm();
    adapter_.machine_.processor().queueDeferred(
        [&adapter = adapter_, key = &object_, generation = generation_] {
          const auto it = adapter.timers_.find(key);
          if (it == adapter.timers_.end() || it->second->generation_ != generation) {
            return;
          }
          ++adapter.timerRuns_;
          adapter.machine_.processor().serialized([key] {
            key->Dpc.DeferredRoutine(&key->Dpc, key->Dpc.DeferredContext, nullptr, nullptr);
          });
        });
  }

  MiniportAdapter& adapter_;
  NDIS_MINIPORT_TIMER& object_;
  Duration period_{};
  std::optional<Clock::EventId> pending_;
  std::uint64_t generation_ = 0;
};

// ---------------------------------------------------------------------------

MiniportAdapter::MiniportAdapter(Machine& machine, AdapterSetup setup)
    : machine_(machine), setup_(std::move(setup)) {}

MiniportAdapter::~MiniportAdapter() {
  if (interrupt_) {
    machine_.processor().disconnect(*interrupt_);
  }
}

void MiniportAdapter::checkStatus(const char* handler, NDIS_STATUS status) {
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
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  const std::size_t memoryBefore = machine_.memoryBlocksHeld();
  machine_.processor().serialized([&] {
    status = table->InitializeHandler(&openError, &selected, media.data(),
                                      static_cast<UINT>(media.size()), handle(), handle());
  });
  checkStatus("MiniportInitialize", status);
  if (!configurations_.empty()) {
    machine_.violation("MiniportInitialize returned with a configuration handle still open");
    configurations_.clear();
  }
  if (status == NDIS_STATUS_SUCCESS) {
    if (selected >= media.size()) {
      machine_.violation("MiniportInitialize succeeded without selecting a medium it was offered");
    }
    initialized_ = true;
    selectedMedium_ = selected;
    memoryTaken_ = machine_.memoryBlocksHeld() - memoryBefore;
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
  if (interrupt_) {
    machine_.violation(when + " left its interrupt connected");
    machine_.processor().disconnect(*interrupt_);
    interrupt_.reset();
  }
  if (std::any_of(timers_.begin(), timers_.end(),
                  [](const auto& timer) { return timer.second->armed(); })) {
    machine_.violation(when + " left a timer set");
  }
  // The timer objects lived in memory the miniport has given back.
  timers_.clear();
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
  machine_.processor().serialized([&] { table->HaltHandler(context()); });
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
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  const auto* table = machine_.characteristics();
  machine_.processor().serialized(
      [&] { status = table->ResetHandler(&addressingReset, context()); });
  checkStatus("MiniportReset", status);
  return status;
}

NDIS_STATUS MiniportAdapter::query(NDIS_OID oid, std::span<std::uint8_t> buffer,
                                   ULONG& bytesWritten, ULONG& bytesNeeded) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  const auto* table = machine_.characteristics();
  machine_.processor().serialized([&] {
    status = table->QueryInformationHandler(context(), oid, buffer.data(),
                                            static_cast<ULONG>(buffer.size()), &bytesWritten,
                                            &bytesNeeded);
  });
  checkStatus("MiniportQueryInformation", status);
  return status;
}

NDIS_STATUS MiniportAdapter::set(NDIS_OID oid, std::span<std::uint8_t> buffer, ULONG& bytesRead,
                                 ULONG& bytesNeeded) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  const auto* table = machine_.characteristics();
  machine_.processor().serialized([&] {
    status = table->SetInformationHandler(
        context(), oid, buffer.data(), static_cast<ULONG>(buffer.size()), &bytesRead, &bytesNeeded);
  });
  checkStatus("MiniportSetInformation", status);
  return status;
}

NDIS_STATUS MiniportAdapter::send(NDIS_PACKET& packet) {
  if (!outstanding_.insert(&packet).second) {
    machine_.violation("a packet was sent again before its completion");
    return NDIS_STATUS_FAILURE;
  }
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  const auto* table = machine_.characteristics();
  machine_.processor().serialized([&] { status = table->SendHandler(context(), &packet, 0); });
  checkStatus("MiniportSend", status);
  if (status != NDIS_STATUS_PENDING && outstanding_.contains(&packet)) {
    completeSend(packet, status);
  }
  return status;
}

void MiniportAdapter::sendComplete(NDIS_PACKET& packet, NDIS_STATUS status) {
  if (!outstanding_.contains(&packet)) {
    machine_.violation("NdisMSendComplete for a packet the miniport does not hold");
    return;
  }
  checkStatus("NdisMSendComplete", status);
  completeSend(packet, status);
}

void MiniportAdapter::completeSend(NDIS_PACKET& packet, NDIS_STATUS status) {
  outstanding_.erase(&packet);
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
  const NDIS_STATUS status =
      table->TransferDataHandler(&packet, &transferred, context(), receiveContext_, offset, length);
  checkStatus("MiniportTransferData", status);
  if (status == NDIS_STATUS_PENDING) {
    machine_.violation("MiniportTransferData pended; this miniport completes it synchronously");
  }
  return status;
}

void MiniportAdapter::indicateReceive(NDIS_HANDLE receiveContext,
                                      std::span<const std::uint8_t> header,
                                      std::span<const std::uint8_t> lookahead, UINT packetSize) {
  if (!machine_.processor().inSerializedHandler() || machine_.processor().atDeviceLevel()) {
    machine_.violation("a receive indication outside a serialised handler");
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
  if (!machine_.processor().inSerializedHandler() || machine_.processor().atDeviceLevel()) {
    machine_.violation("a receive-complete indication outside a serialised handler");
    return;
  }
  if (protocol_ != nullptr) {
    protocol_->receiveComplete(*this);
  }
}

// ---------------------------------------------------------------------------
// Library side.

OpenConfiguration& MiniportAdapter::openConfiguration() {
  return *configurations_.emplace_back(std::make_unique<OpenConfiguration>(*this, setup_));
}

void MiniportAdapter::closeConfiguration(const OpenConfiguration& configuration) {
  const auto erased = std::erase_if(configurations_,
                                    [&](const auto& open) { return open.get() == &configuration; });
  if (erased == 0) {
    machine_.violation("NdisCloseConfiguration of a handle that is not open");
  }
}

NDIS_STATUS MiniportAdapter::registerInterrupt(NDIS_MINIPORT_INTERRUPT& object,
                                               const InterruptRegistration& registration) {
  interruptRegistration_ = registration;
  if (interrupt_) {
    machine_.violation("a second interrupt registered for one adapter");
    return NDIS_STATUS_FAILURE;
  }
  if (!machine_.holdsWhole(&object, sizeof(object), "the interrupt object")) {
    return NDIS_STATUS_FAILURE;
  }
  if (const auto failure = machine_.ndisFailures().call(NdisOperation::RegisterInterrupt)) {
    return *failure;
  }
  if (machine_.vectorTaken(registration.vector, *this)) {
    return NDIS_STATUS_RESOURCE_CONFLICT;
  }
  interrupt_ =
      std::make_unique<Interrupt>(*this, object, registration.vector,
                                  machine_.interruptLine(registration.vector), ++connections_);
  interrupt_->fill(registration.requestIsr ? TRUE : FALSE, registration.shared ? TRUE : FALSE);
  machine_.processor().connect(*interrupt_);
  return NDIS_STATUS_SUCCESS;
}

std::optional<UINT> MiniportAdapter::connectedVector() const {
  return interrupt_ ? std::optional<UINT>(interrupt_->vector()) : std::nullopt;
}

void MiniportAdapter::deregisterInterrupt(NDIS_MINIPORT_INTERRUPT& object) {
  if (!interrupt_ || &interrupt_->object() != &object) {
    machine_.violation("NdisMDeregisterInterrupt of an interrupt that is not registered");
    return;
  }
  machine_.processor().disconnect(*interrupt_);
  object.InterruptObject = nullptr;
  interrupt_.reset();
}

BOOLEAN MiniportAdapter::synchronizeWithInterrupt(NDIS_MINIPORT_INTERRUPT& object, PVOID routine,
                                                  PVOID context) {
  if (!interrupt_ || &interrupt_->object() != &object) {
    machine_.violation("NdisMSynchronizeWithInterrupt on an interrupt that is not registered");
    return FALSE;
  }
  const auto function = reinterpret_cast<PNDIS_SYNCHRONIZE_ROUTINE>(routine);
  const BOOLEAN result = machine_.processor().atDeviceLevel([&] { return function(context); });
  machine_.processor().poll();
  return result;
}

void MiniportAdapter::initializeTimer(NDIS_MINIPORT_TIMER& timer, PNDIS_TIMER_FUNCTION function,
                                      PVOID context) {
  if (!machine_.holdsWhole(&timer, sizeof(timer), "the timer object")) {
    return;
  }
  auto& slot = timers_[&timer];
  slot = std::make_unique<Timer>(*this, timer);
  slot->fill(function, context);
}

void MiniportAdapter::setPeriodicTimer(NDIS_MINIPORT_TIMER& timer, UINT milliseconds) {
  const auto it = timers_.find(&timer);
  if (it == timers_.end()) {
    machine_.violation("NdisMSetPeriodicTimer on a timer that was not initialised");
    return;
  }
  it->second->setPeriodic(milliseconds);
}

BOOLEAN MiniportAdapter::cancelTimer(NDIS_MINIPORT_TIMER& timer) {
  const auto it = timers_.find(&timer);
  if (it == timers_.end()) {
    machine_.violation("NdisMCancelTimer on a timer that was not initialised");
    return FALSE;
  }
  return it->second->cancel() ? TRUE : FALSE;
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
