// Virtual time for one simulated world.
//
// The clock never follows the wall clock on its own: it moves only when the
// driver stalls or when the host's event loop advances it. Devices schedule
// events on it; events due at the same instant fire in the order they were
// scheduled, so a run is the same every time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

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
  using Callback = std::function<void()>;

  struct EventId {
    std::uint64_t value = 0;
    friend bool operator==(EventId, EventId) = default;
  };

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
  struct Key {
    VirtualTime at;
    std::uint64_t sequence;
    auto operator<=>(const Key&) const = default;  // NOLINT(modernize-use-nullptr)
  };

  VirtualTime now_{};
  std::uint64_t nextSequence_ = 1;
  std::map<Key, Callback> events_;
};

}  // namespace kl::sim
