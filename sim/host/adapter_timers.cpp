#include "sim/host/adapter_timers.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "sim/host/kernel_objects.h"
#include "sim/host/machine.h"

namespace kl::sim {

// A miniport timer on the virtual clock. NDIS fills the timer object whole;
// when the kernel timer expires its DPC runs the miniport's timer function.
class AdapterTimers::Timer {
 public:
  Timer(AdapterTimers& owner, NDIS_MINIPORT_TIMER& object) : owner_(owner), object_(object) {}
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer() { cancel(); }

  void fill(PNDIS_TIMER_FUNCTION function, PVOID context) {
    object_ = NDIS_MINIPORT_TIMER{};
    initializeHeader(object_.Timer.Header, kTimerNotificationObject, sizeof(KTIMER));
    initializeDpc(object_.Dpc, Dpc, &object_);
    object_.MiniportTimerFunction = function;
    object_.MiniportTimerContext = context;
    object_.Miniport = static_cast<PNDIS_MINIPORT_BLOCK>(owner_.adapter_.handle());
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
      machine().clock().cancel(*pending_);
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
  [[nodiscard]] Machine& machine() const { return owner_.adapter_.machine(); }

  void arm() {
    object_.Timer.Header.Inserted = TRUE;
    pending_ = machine().clock().scheduleIn(period_, [this] { expire(); });
  }

  // The DPC runs as deferred work, which may find the timer cancelled or
  // initialised afresh by then.
  void expire() {
    pending_.reset();
    arm();
    machine().processor().queueDeferred(
        [&owner = owner_, key = &object_, generation = generation_] {
          const auto it = owner.timers_.find(key);
          if (it == owner.timers_.end() || it->second->generation_ != generation) {
            return;
          }
          ++owner.runs_;
          owner.adapter_.machine().processor().serialized("a timer function", [key] {
            key->Dpc.DeferredRoutine(&key->Dpc, key->Dpc.DeferredContext, nullptr, nullptr);
          });
        });
  }

  AdapterTimers& owner_;
  NDIS_MINIPORT_TIMER& object_;
  Duration period_{};
  std::optional<Clock::EventId> pending_;
  std::uint64_t generation_ = 0;
};

AdapterTimers::AdapterTimers(MiniportAdapter& adapter) : adapter_(adapter) {}

AdapterTimers::~AdapterTimers() = default;

void AdapterTimers::initialize(NDIS_MINIPORT_TIMER& timer, PNDIS_TIMER_FUNCTION function,
                               PVOID context) {
  if (!adapter_.machine().holdsWhole(&timer, sizeof(timer), "the timer object")) {
    return;
  }
  auto& slot = timers_[&timer];
  slot = std::make_unique<Timer>(*this, timer);
  slot->fill(function, context);
}

void AdapterTimers::setPeriodic(NDIS_MINIPORT_TIMER& timer, UINT milliseconds) {
  const auto it = timers_.find(&timer);
  if (it == timers_.end()) {
    adapter_.machine().violation("NdisMSetPeriodicTimer on a timer that was not initialised");
    return;
  }
  it->second->setPeriodic(milliseconds);
}

BOOLEAN AdapterTimers::cancel(NDIS_MINIPORT_TIMER& timer) {
  const auto it = timers_.find(&timer);
  if (it == timers_.end()) {
    adapter_.machine().violation("NdisMCancelTimer on a timer that was not initialised");
    return FALSE;
  }
  return it->second->cancel() ? TRUE : FALSE;
}

void AdapterTimers::forget() { timers_.clear(); }

bool AdapterTimers::anyArmed() const {
  return std::any_of(timers_.begin(), timers_.end(),
                     [](const auto& timer) { return timer.second->armed(); });
}

}  // namespace kl::sim
