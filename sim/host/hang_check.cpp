#include "sim/host/hang_check.h"

#include <chrono>

#include "sim/host/handler_names.h"
#include "sim/host/machine.h"

namespace kl::sim {

namespace {

// The interval NDIS uses when the miniport gives none in
// NdisMSetAttributesEx.
constexpr UINT kDefaultSeconds = 2;

}  // namespace

void HangCheck::start(UINT seconds) {
  stop();
  period_ = std::chrono::seconds(seconds != 0 ? seconds : kDefaultSeconds);
  arm();
}

void HangCheck::stop() {
  ++generation_;
  if (pending_) {
    adapter_.machine().clock().cancel(*pending_);
    pending_.reset();
  }
}

void HangCheck::arm() {
  pending_ = adapter_.machine().clock().scheduleIn(period_, [this] { expire(); });
}

void HangCheck::expire() {
  pending_.reset();
  arm();
  Machine& machine = adapter_.machine();
  machine.processor().queueDeferred([this, &machine, generation = generation_] {
    if (generation != generation_) {
      return;
    }
    bool hung = false;
    machine.processor().serialized(Irql::Dispatch, kMiniportCheckForHang, [&] {
      hung = machine.characteristics()->CheckForHangHandler(adapter_.context()) != FALSE;
    });
    if (hung) {
      adapter_.reset();
    }
  });
}

}  // namespace kl::sim
