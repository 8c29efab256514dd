// The simulated CPU's execution levels and NDIS's serialisation of a miniport.
//
// Three kinds of code run on the one processor:
//  - serialised handlers (every miniport handler but the ISR, the DPC and the
//    timer functions): NDIS runs at most one at a time;
//  - device-level code (MiniportISR, MiniportDisableInterrupt,
//    MiniportEnableInterrupt and routines run through
//    NdisMSynchronizeWithInterrupt): nothing preempts it;
//  - deferred work (the interrupt DPC and timer functions), queued while a
//    serialised handler runs and started as soon as none does.
// An asserted interrupt line preempts anything below device level at the next
// port access or clock step, exactly between two accesses of the code running.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace kl::sim {

// One interrupt as the host delivers it: the line it listens to and what to
// run when the line is asserted.
class InterruptVector {
 public:
  virtual ~InterruptVector() = default;
  [[nodiscard]] virtual bool asserted() const = 0;
  // Runs at device level when the line is asserted.
  virtual void service() = 0;
};

class Processor {
 public:
  // Runs `handler`, called `name` in what the host reports of it, as a
  // serialised handler. When the outermost one returns, the deferred work
  // that piled up meanwhile runs.
  template <class F>
  void serialized(const char* name, F&& handler) {
    if (serializedDepth_++ == 0) {
      running_ = name;
      if (watcher_) {
        watcher_(HandlerEdge::Entered);
      }
    }
    handler();
    if (serializedDepth_ == 1 && watcher_) {
      watcher_(HandlerEdge::Returned);
    }
    if (--serializedDepth_ == 0) {
      runDeferred();
    }
  }

  // Called as the outermost serialised handler is entered and as it returns,
  // before the deferred work it left runs (which is watched in its turn).
  enum class HandlerEdge : std::uint8_t { Entered, Returned };
  void watchHandlers(std::function<void(HandlerEdge)> watcher) { watcher_ = std::move(watcher); }

  // Runs `routine` at device level: no interrupt is delivered until it returns.
  template <class F>
  auto atDeviceLevel(F&& routine) {
    const bool outer = !deviceLevel_;
    deviceLevel_ = true;
    struct Restore {
      Processor& p;
      bool outer;
      ~Restore() {
        if (outer) {
          p.deviceLevel_ = false;
        }
      }
    } restore{*this, outer};
    return routine();
  }

  [[nodiscard]] bool atDeviceLevel() const { return deviceLevel_; }
  [[nodiscard]] bool inSerializedHandler() const { return serializedDepth_ > 0; }
  // The name of the outermost serialised handler running, or of the last.
  [[nodiscard]] const char* runningHandler() const { return running_; }

  // Deferred work runs in the order it was queued.
  void queueDeferred(std::function<void()> work);

  void connect(InterruptVector& vector);
  void disconnect(const InterruptVector& vector);

  // Looks at the interrupt lines: called after every port access and clock
  // step. Delivers what is asserted unless the processor is at device level,
  // then runs deferred work if no serialised handler is running.
  void poll();

 private:
  void runDeferred();

  bool deviceLevel_ = false;
  int serializedDepth_ = 0;
  const char* running_ = "";
  bool draining_ = false;
  std::deque<std::function<void()>> deferred_;
  std::vector<InterruptVector*> vectors_;
  std::vector<InterruptVector*> servicing_;  // poll's copy of vectors_
  std::function<void(HandlerEdge)> watcher_;
};

}  // namespace kl::sim
