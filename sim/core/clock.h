// Virtual time for one simulated world.
//
// The clock never follows the wall clock on its own: it moves only when the
// driver stalls or when the host's event loop advances it. Devices schedule
// events on it; events due at the same instant fire in the order they were
// scheduled, so a run is the same every time.
//
// Scheduling allocates nothing once the clock has held as many events at
// once as it will: an event lives in a slot of a pool, its callback inside
// the slot, and the queue is a binary heap of slot numbers that knows where
// each slot sits in it, so a cancelled event leaves at once.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "sim/core/inline_function.h"

namespace kl::sim {

using Duration = std::chrono::nanoseconds;
using std::chrono_literals::operator""ns;
using std::chrono_literals::operator""us;
using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;

// A point in virtual time, as the time since the world began.
using VirtualTime = Duration;

class Clock {
 public:
  // What an event may capture: a few references and values, or a frame.
  static constexpr std::size_t kCallbackBytes = 72;
  using Callback = InlineFunction<void(), kCallbackBytes>;

  struct EventId {
    std::uint64_t value = 0;
    friend bool operator==(EventId, EventId) = default;
  };

  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  ~Clock() = default;

  [[nodiscard]] VirtualTime now() const { return now_; }

  // Schedules `callback` at absolute time `at` (not before now).
  EventId scheduleAt(VirtualTime at, Callback callback);
  EventId scheduleIn(Duration delay, Callback callback) {
    return scheduleAt(now_ + delay, std::move(callback));
  }
  // Returns false when the event already fired or was cancelled.
  bool cancel(EventId id);

  [[nodiscard]] std::optional<VirtualTime> nextEventTime() const;

  // Fires the earliest event if it is due at or before `limit`, moving the
  // clock to its time first. Returns whether an event fired.
  bool fireNextDue(VirtualTime limit);

  // Moves the clock forward to `to` without firing anything; callers fire the
  // due events first.
  void moveTo(VirtualTime to);

 private:
  static constexpr std::uint32_t kNotQueued = ~std::uint32_t{0};

  struct Slot {
    Callback callback;
    VirtualTime at{};
    std::uint64_t sequence = 0;
    // Counts the slot's uses, so that the id of an event long gone never
    // reaches the event that took the slot after it.
    std::uint32_t generation = 0;
    std::uint32_t heapIndex = kNotQueued;  // or the next free slot, when free
  };

  [[nodiscard]] bool before(std::uint32_t a, std::uint32_t b) const {
    const Slot& x = slots_[a];
    const Slot& y = slots_[b];
    return x.at < y.at || (x.at == y.at && x.sequence < y.sequence);
  }
  std::uint32_t takeSlot();
  void freeSlot(std::uint32_t slot);
  void place(std::size_t index, std::uint32_t slot);
  void siftUp(std::size_t index);
  void siftDown(std::size_t index);
  // Takes the slot at heap position `index` out of the heap.
  void unqueue(std::size_t index);

  VirtualTime now_{};
  std::uint64_t nextSequence_ = 1;
  std::vector<Slot> slots_;
  std::uint32_t freeSlots_ = kNotQueued;  // a list chained through heapIndex
  std::vector<std::uint32_t> heap_;
};

// Fires the clock's events due by `until` in order, calling `afterEach` after
// each and once more at the end, and leaves the clock at `until`. What ran may
// have held time past it (a processor's busy wait): time goes on from there,
// never back.
template <class AfterEach>
void runUntil(Clock& clock, VirtualTime until, AfterEach&& afterEach) {
  while (clock.fireNextDue(until)) {
    afterEach();
  }
  clock.moveTo(std::max(until, clock.now()));
  afterEach();
}
inline void runUntil(Clock& clock, VirtualTime until) {
  runUntil(clock, until, [] {});
}

}  // namespace kl::sim
