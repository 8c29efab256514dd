// An adapter's miniport timers on the virtual clock: NdisMInitializeTimer,
// NdisMSetPeriodicTimer and NdisMCancelTimer, and the DPC that runs the
// miniport's timer function when one expires.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "platform/ndis.h"

namespace kl::sim {

class MiniportAdapter;

class AdapterTimers {
 public:
  explicit AdapterTimers(MiniportAdapter& adapter);
  AdapterTimers(const AdapterTimers&) = delete;
  AdapterTimers& operator=(const AdapterTimers&) = delete;
  ~AdapterTimers();

  void initialize(NDIS_MINIPORT_TIMER& timer, PNDIS_TIMER_FUNCTION function, PVOID context);
  void setPeriodic(NDIS_MINIPORT_TIMER& timer, UINT milliseconds);
  BOOLEAN cancel(NDIS_MINIPORT_TIMER& timer);

  [[nodiscard]] bool anyArmed() const;
  // Forgets every timer: their objects lived in memory the miniport has
  // given back.
  void forget();
  // How often a timer function has run.
  [[nodiscard]] std::uint64_t runs() const { return runs_; }

 private:
  class Timer;

  MiniportAdapter& adapter_;
  std::map<const NDIS_MINIPORT_TIMER*, std::unique_ptr<Timer>> timers_;
  std::uint64_t runs_ = 0;
};

}  // namespace kl::sim
