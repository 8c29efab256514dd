#include "sim/host/adapter_interrupt.h"

#include <string>

#include "sim/bus/io_device.h"
#include "sim/host/handler_names.h"
#include "sim/host/kernel_objects.h"
#include "sim/host/machine.h"

namespace kl::sim {

// A connected interrupt: NDIS's interrupt path for the adapter, driven by the
// interrupt object NDIS filled in the miniport's record.
class AdapterInterrupt::Connection final : public InterruptVector,
                                           private InterruptSource::Listener {
 public:
  Connection(AdapterInterrupt& owner, NDIS_MINIPORT_INTERRUPT& object, UINT vector,
             InterruptSource* line, std::uint64_t number)
      : owner_(owner), object_(object), vector_(vector), line_(line), number_(number) {
    if (line_ != nullptr) {
      line_->listen(this);
    }
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() override {
    if (line_ != nullptr) {
      line_->listen(nullptr);
    }
  }

  [[nodiscard]] NDIS_MINIPORT_INTERRUPT& object() const { return object_; }
  [[nodiscard]] UINT vector() const { return vector_; }

  // What NDIS writes into the object when it connects the interrupt: every
  // byte of it, the kernel's DPC and event included.
  void fill(BOOLEAN requestIsr, BOOLEAN shared) {
    MiniportAdapter& adapter = owner_.adapter_;
    object_ = NDIS_MINIPORT_INTERRUPT{};
    object_.InterruptObject = reinterpret_cast<PKINTERRUPT>(this);
    if (const auto* table = adapter.machine().characteristics()) {
      object_.MiniportIsr = table->ISRHandler;
      object_.MiniportDpc = table->HandleInterruptHandler;
    }
    initializeDpc(object_.InterruptDpc, Dpc, this);
    object_.Miniport = static_cast<PNDIS_MINIPORT_BLOCK>(adapter.handle());
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
    MiniportAdapter& adapter = owner_.adapter_;
    Machine& machine = adapter.machine();
    bool queue = true;
    if (object_.IsrRequested != FALSE) {
      BOOLEAN recognized = FALSE;
      BOOLEAN queueDpc = FALSE;
      machine.processor().within(
          kMiniportIsr, [&] { object_.MiniportIsr(&recognized, &queueDpc, adapter.context()); });
      queue = recognized != FALSE && queueDpc != FALSE;
    } else {
      machine.processor().within(kMiniportDisableInterrupt, [&] {
        machine.characteristics()->DisableInterruptHandler(adapter.context());
      });
    }
    if (asserted()) {
      machine.violation(
          "the interrupt line is still asserted after the miniport's interrupt routine returned");
    }
    if (queue && object_.DpcCount == 0) {
      ++object_.DpcCount;
      machine.processor().queueDeferred(
          [&owner = owner_, number = number_] { runDpc(owner, number); });
    }
  }

  // The interrupt DPC: the miniport's deferred handler, then its interrupts
  // enabled again at device level.
  static VOID NTAPI Dpc(PKDPC /*dpc*/, PVOID context, PVOID /*argument1*/, PVOID /*argument2*/) {
    auto& self = *static_cast<Connection*>(context);
    MiniportAdapter& adapter = self.owner_.adapter_;
    Machine& machine = adapter.machine();
    self.object_.MiniportDpc(adapter.context());
    machine.processor().atDeviceLevel(
        [&] { machine.characteristics()->EnableInterruptHandler(adapter.context()); },
        kMiniportEnableInterrupt);
  }

 private:
  // The DPC may outlive the connection it was queued for: the miniport can
  // deregister its interrupt, and free the object, before the DPC gets to run.
  static void runDpc(AdapterInterrupt& owner, std::uint64_t number) {
    if (!owner.connection_ || owner.connection_->number_ != number) {
      return;
    }
    NDIS_MINIPORT_INTERRUPT& object = owner.connection_->object_;
    --object.DpcCount;
    owner.adapter_.machine().processor().serialized(Irql::Dispatch, kMiniportHandleInterrupt, [&] {
      object.InterruptDpc.DeferredRoutine(&object.InterruptDpc, object.InterruptDpc.DeferredContext,
                                          nullptr, nullptr);
    });
  }

  void lineMayHaveChanged() override { owner_.adapter_.machine().processor().watch(*this); }
  void lineGone() override { line_ = nullptr; }

  AdapterInterrupt& owner_;
  NDIS_MINIPORT_INTERRUPT& object_;
  UINT vector_;
  InterruptSource* line_;
  std::uint64_t number_;
};

AdapterInterrupt::AdapterInterrupt(MiniportAdapter& adapter) : adapter_(adapter) {}

AdapterInterrupt::~AdapterInterrupt() {
  if (connection_) {
    takeDown();
  }
}

NDIS_STATUS AdapterInterrupt::connect(NDIS_MINIPORT_INTERRUPT& object,
                                      const InterruptRegistration& registration) {
  Machine& machine = adapter_.machine();
  registration_ = registration;
  if (connection_) {
    machine.violation("a second interrupt registered for one adapter");
    return NDIS_STATUS_FAILURE;
  }
  if (!machine.holdsWhole(&object, sizeof(object), "the interrupt object")) {
    return NDIS_STATUS_FAILURE;
  }
  if (const auto failure = machine.ndisFailures().call(NdisOperation::RegisterInterrupt)) {
    return *failure;
  }
  if (machine.vectorTaken(registration.vector, adapter_)) {
    return NDIS_STATUS_RESOURCE_CONFLICT;
  }
  connection_ =
      std::make_unique<Connection>(*this, object, registration.vector,
                                   machine.interruptLine(registration.vector), ++connections_);
  connection_->fill(registration.requestIsr ? TRUE : FALSE, registration.shared ? TRUE : FALSE);
  machine.processor().connect(*connection_);
  return NDIS_STATUS_SUCCESS;
}

void AdapterInterrupt::disconnect(NDIS_MINIPORT_INTERRUPT& object) {
  if (!connection_ || &connection_->object() != &object) {
    adapter_.machine().violation("NdisMDeregisterInterrupt of an interrupt that is not registered");
    return;
  }
  takeDown();
  object.InterruptObject = nullptr;
}

BOOLEAN AdapterInterrupt::synchronize(NDIS_MINIPORT_INTERRUPT& object, PVOID routine,
                                      PVOID context) {
  Machine& machine = adapter_.machine();
  if (!connection_ || &connection_->object() != &object) {
    machine.violation("NdisMSynchronizeWithInterrupt on an interrupt that is not registered");
    return FALSE;
  }
  const auto function = reinterpret_cast<PNDIS_SYNCHRONIZE_ROUTINE>(routine);
  const BOOLEAN result =
      machine.processor().atDeviceLevel([&] { return function(context); }, kMiniportSynchronizeIsr);
  machine.processor().poll();
  return result;
}

bool AdapterInterrupt::dropLeftOver() {
  if (!connection_) {
    return false;
  }
  takeDown();
  return true;
}

std::optional<UINT> AdapterInterrupt::vector() const {
  return connection_ ? std::optional<UINT>(connection_->vector()) : std::nullopt;
}

void AdapterInterrupt::takeDown() {
  adapter_.machine().processor().disconnect(*connection_);
  connection_.reset();
}

}  // namespace kl::sim
