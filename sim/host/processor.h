// The simulated CPU's execution levels and NDIS's serialisation of a miniport.
//
// Three kinds of code run on the one processor:
//  - serialised handlers (every miniport handler but the ISR, the DPC and the
//    timer functions): NDIS runs at most one at a time, MiniportInitialize
//    and MiniportHalt at PASSIVE_LEVEL and the others at DISPATCH_LEVEL;
//  - device-level code (MiniportISR, MiniportDisableInterrupt,
//    MiniportEnableInterrupt and routines run through
//    NdisMSynchronizeWithInterrupt), at DIRQL: nothing preempts it;
//  - deferred work (the interrupt DPC and timer functions), queued while a
//    serialised handler runs and started as soon as none does; what it runs
//    is serialised in its turn, at DISPATCH_LEVEL.
// Code outside any handler (a test standing in for the system) runs at
// PASSIVE_LEVEL. An asserted interrupt line preempts anything below device
// level at the next port access or clock step, exactly between two accesses
// of the code running.
//
// The processor does not read every line at every step: a line announces
// its changes, and only the lines announced since the last step, and those
// still asserted, are read. A step with no line to read and
// no deferred work costs a few compares, however many devices there are.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string_view>
#include <vector>

#include "sim/host/irql.h"

namespace kl::sim {

// One interrupt as the host delivers it: the line it listens to and what to
// run when the line is asserted.
class InterruptVector {
 public:
  InterruptVector() = default;
  InterruptVector(const InterruptVector&) = delete;
  InterruptVector& operator=(const InterruptVector&) = delete;
  virtual ~InterruptVector() = default;
  [[nodiscard]] virtual bool asserted() const = 0;
  // Runs at device level when the line is asserted.
  virtual void service() = 0;

 private:
  friend class Processor;
  std::uint64_t order_ = 0;  // its place in the order of connection; 0: not connected
  bool watched_ = false;
};

class Processor {
 public:
  // Runs `handler`, the miniport's handler called `name`, as a serialised
  // handler at `level`. When the outermost one returns, the deferred work
  // that piled up meanwhile runs.
  template <class F>
  void serialized(Irql level, std::string_view name, F&& handler) {
    {
      const Running running(*this, level, name);
      if (serializedDepth_++ == 0 && watcher_) {
        watcher_(HandlerEdge::Entered);
      }
      handler();
      if (serializedDepth_ == 1 && watcher_) {
        watcher_(HandlerEdge::Returned);
      }
    }
    if (--serializedDepth_ == 0) {
      runDeferred();
    }
  }

  // Called as the outermost serialised handler is entered and as it returns,
  // before the deferred work it left runs (which is watched in its turn).
  enum class HandlerEdge : std::uint8_t { Entered, Returned };
  void watchHandlers(std::function<void(HandlerEdge)> watcher) { watcher_ = std::move(watcher); }

  // Runs `routine` at device level: no interrupt is delivered until it
  // returns. `name` names the miniport's routine, if it is one.
  template <class F>
  auto atDeviceLevel(F&& routine, std::string_view name = {}) {
    const Running running(*this, Irql::Device, name);
    return routine();
  }

  // Runs `routine`, the miniport's routine called `name`, at the level
  // already running.
  template <class F>
  auto within(std::string_view name, F&& routine) {
    const Running running(*this, level_, name);
    return routine();
  }

  [[nodiscard]] Irql level() const { return level_; }
  [[nodiscard]] bool atDeviceLevel() const { return level_ == Irql::Device; }
  // The innermost of the miniport's routines running; empty outside them.
  [[nodiscard]] std::string_view handler() const { return handler_; }
  [[nodiscard]] bool inSerializedHandler() const { return serializedDepth_ > 0; }

  // Deferred work runs in the order it was queued.
  void queueDeferred(std::function<void()> work);

  // Vectors are serviced in the order they were connected.
  void connect(InterruptVector& vector);
  void disconnect(InterruptVector& vector);
  // The vector's line may have changed: it is read at the next step, and at
  // every step after that while it stays asserted.
  void watch(InterruptVector& vector);

  // A step: called after every port access and clock step. Delivers what is
  // asserted unless the processor is at device level, then runs deferred
  // work if no serialised handler is running.
  void poll() {
    if (level_ == Irql::Device) {
      return;
    }
    if (!watched_.empty()) {
      serviceWatched();
    }
    if (serializedDepth_ == 0 && !deferred_.empty()) {
      runDeferred();
    }
  }

 private:
  // The level and routine for one piece of code, the ones before it again
  // when it returns. Code only ever raises the level.
  class Running {
   public:
    Running(Processor& processor, Irql level, std::string_view name)
        : processor_(processor), level_(processor.level_), name_(processor.handler_) {
      processor.level_ = std::max(processor.level_, level);
      if (!name.empty()) {
        processor.handler_ = name;
      }
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() {
      processor_.level_ = level_;
      processor_.handler_ = name_;
    }

   private:
    Processor& processor_;
    Irql level_;
    std::string_view name_;
  };

  void runDeferred();
  // Reads the watched lines in the order of connection and services each
  // that is asserted; a line that rises while another is serviced is read
  // in the same pass if it comes later in that order.
  void serviceWatched();
  // Takes the first watched vector connected after `order` off the watch.
  InterruptVector* unwatchNextAfter(std::uint64_t order);

  Irql level_ = Irql::Passive;
  std::string_view handler_;
  int serializedDepth_ = 0;
  bool draining_ = false;
  std::deque<std::function<void()>> deferred_;
  std::uint64_t connections_ = 0;
  std::vector<InterruptVector*> watched_;  // in the order of connection
  InterruptVector* servicing_ = nullptr;   // cleared if it disconnects meanwhile
  std::function<void(HandlerEdge)> watcher_;
};

}  // namespace kl::sim
