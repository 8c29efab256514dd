// NDIS's watch over a miniport that has a MiniportCheckForHang: every few
// seconds while the adapter is up, at DISPATCH_LEVEL, it asks the miniport
// whether the adapter hangs, and resets the adapter when it says so.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/ndis.h"
#include "sim/core/clock.h"

namespace kl::sim {

class MiniportAdapter;

class HangCheck {
 public:
  explicit HangCheck(MiniportAdapter& adapter) : adapter_(adapter) {}
  HangCheck(const HangCheck&) = delete;
  HangCheck& operator=(const HangCheck&) = delete;
  ~HangCheck() { stop(); }

  // Every `seconds` from now on; 0 is NDIS's default.
  void start(UINT seconds);
  void stop();

 private:
  void arm();
  // The check runs as deferred work, which may find the watch stopped by
  // then.
  void expire();

  MiniportAdapter& adapter_;
  Duration period_{};
  std::optional<Clock::EventId> pending_;
  std::uint64_t generation_ = 0;
};

}  // namespace kl::sim
