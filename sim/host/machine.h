// One simulated PC with the NDIS library and the HAL: what the driver's
// platform calls reach.
//
// A Machine owns its virtual clock (or runs on one it shares with other
// machines), its I/O bus, the loaded miniport and its adapters. Constructing
// one makes it the target of the NDIS and HAL entry points on the
// constructing thread until it is destroyed; those entry points take no
// machine argument, so this one binding is what the platform forces. A
// machine on a shared clock makes itself the target again whenever its
// processor takes an interrupt or runs deferred work.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ndis.h"
#include "sim/bus/io_bus.h"
#include "sim/card/timing.h"
#include "sim/core/clock.h"
#include "sim/core/random.h"
#include "sim/host/adapter_setup.h"
#include "sim/host/error_log.h"
#include "sim/host/handle_table.h"
#include "sim/host/irql.h"
#include "sim/host/miniport_adapter.h"
#include "sim/host/ndis_failures.h"
#include "sim/host/platform_calls.h"
#include "sim/host/processor.h"
#include "sim/host/shared_clock.h"

// The system's driver object; the driver only hands it back to NDIS.
struct _DRIVER_OBJECT {
  UNICODE_STRING name;
};

namespace kl::sim {

using DriverEntryFunction = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);

// How long one serialised handler (the DPC and timer functions included) may
// run before the host calls it hung: in virtual time, and in port accesses.
struct HandlerBounds {
  Duration time = std::chrono::seconds(30);
  std::uint64_t accesses = 5'000'000;
};

struct MachineSetup {
  unsigned processorCount = 1;
  HandlerBounds handlerBounds{};
  // The seed of the world's random generator.
  std::uint64_t seed = WorldRandom::kDefaultSeed;
  // What each port cycle costs the processor in virtual time (by default
  // nothing: an ideal bus).
  BusCycleTimes busCycles{};
  // The timing corner of the devices on the machine's bus, with the seed its
  // random draws come from.
  card::TimingSetup timing{};
  // The clock the machine runs on with others, which outlives it; by default
  // a clock of its own.
  SharedClock* sharedClock = nullptr;
};

class Machine {
 public:
  explicit Machine(MachineSetup setup = {});
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  ~Machine();

  // The machine the platform entry points reach on this thread.
  static Machine& current();
  // Makes `machine` the current one while it lives: a world of several
  // machines runs each in its turn.
  class Current {
   public:
    explicit Current(Machine& machine);
    Current(const Current&) = delete;
    Current& operator=(const Current&) = delete;
    ~Current();

   private:
    Machine* previous_;
  };

  [[nodiscard]] Clock& clock() { return clock_; }
  // Where every random decision of the world's devices comes from; reseed
  // it to repeat or vary a run.
  [[nodiscard]] WorldRandom& random() { return random_; }
  [[nodiscard]] VirtualTime now() const { return clock_.now(); }
  [[nodiscard]] IoBus& bus() { return bus_; }
  [[nodiscard]] Processor& processor() { return processor_; }
  [[nodiscard]] unsigned processorCount() const { return setup_.processorCount; }
  [[nodiscard]] const card::TimingSetup& timing() const { return setup_.timing; }

  // ---- Devices.
  // Wires a device's interrupt request line to an interrupt vector.
  void wireInterrupt(UINT vector, InterruptSource& line);
  [[nodiscard]] InterruptSource* interruptLine(UINT vector) const;

  // ---- Time. Fires the clock's events in order, looking at the interrupt
  // lines after each: the driver's busy wait, or the world going on while no
  // driver code runs. On a shared clock every machine on it runs.
  void runFor(Duration duration);
  // One step of a shared clock: the processor, with this machine current,
  // takes the interrupts asserted and runs the deferred work due.
  void step() {
    const Current current(*this);
    processor_.poll();
  }

  // ---- The miniport.
  NTSTATUS loadDriver(DriverEntryFunction entry);
  [[nodiscard]] const NDIS40_MINIPORT_CHARACTERISTICS* characteristics() const {
    return characteristics_ ? &*characteristics_ : nullptr;
  }
  [[nodiscard]] UINT registeredLength() const { return registeredLength_; }

  MiniportAdapter& addAdapter(AdapterSetup setup = {});

  // Runs `code` as a serialised handler at DISPATCH level would run.
  template <class F>
  void atDispatch(F&& code) {
    processor_.serialized(Irql::Dispatch, "code a test runs at DISPATCH_LEVEL",
                          std::forward<F>(code));
  }

  // ---- The platform's rules on levels and handles, checked as each call
  // is made.
  // Whether the level running, and the routine, may make `call`; a broken
  // rule when not.
  bool checkCall(PlatformCall call);
  [[nodiscard]] HandleTable& handles() { return handles_; }
  // The adapter `handle` stands for, when it is a handle of `kind` that is
  // valid now; otherwise a broken rule naming `call`, and nothing.
  [[nodiscard]] MiniportAdapter* resolve(const void* handle, HandleKind kind, PlatformCall call);

  // ---- Busy waits: the processor held for `duration` at the level running,
  // the world going on meanwhile.
  void stall(Duration duration);
  // The longest busy wait so far at `level`.
  [[nodiscard]] Duration longestStall(Irql level) const {
    return longestStall_[static_cast<std::size_t>(level)];
  }

  // ---- NDIS operations a test makes fail.
  [[nodiscard]] NdisFailures& ndisFailures() { return ndisFailures_; }

  // ---- The error log.
  [[nodiscard]] const std::vector<ErrorLogEntry>& errorLog() const { return errorLog_; }
  void logError(ErrorLogEntry entry) { errorLog_.push_back(std::move(entry)); }

  // ---- NDIS's own rules. A broken rule goes to the handler; by default it is
  // printed and the process aborts, so no test passes over one.
  void onViolation(std::function<void(const std::string&)> handler) {
    violationHandler_ = std::move(handler);
  }
  void violation(const std::string& what);
  // Each time a serialised handler returns, `check` runs on every adapter
  // that is up (initialized and not being halted); it calls violation()
  // with what it finds wrong.
  void checkAfterHandlers(std::function<void(MiniportAdapter&)> check) {
    adapterCheck_ = std::move(check);
  }
  // Every serialised handler is timed against the setup's bounds, and the
  // adapters checked after it.
  void watchHandler(Processor::HandlerEdge edge);
  // While the handler still runs (at a port access or a stall), a bound
  // passed is a hang: the broken rule is reported with the handler's name
  // and the process stops, so the test fails instead of looping. Made at
  // every port access, so it costs two compares against limits worked out
  // as the handler was entered.
  void checkHandlerStillInBounds() {
    if (handlerOverBounds()) [[unlikely]] {
      stopHandlerOverBounds();
    }
  }

  // ---- The library's side of registration, memory and I/O ranges.
  NDIS_HANDLE initializeWrapper(PVOID driverObject);
  NDIS_STATUS registerMiniport(NDIS_HANDLE wrapper,
                               const NDIS40_MINIPORT_CHARACTERISTICS& characteristics, UINT length);
  NDIS_STATUS allocateMemory(PVOID* address, UINT length);
  void freeMemory(PVOID address, UINT length);
  [[nodiscard]] std::size_t memoryBlocksHeld() const { return memory_.size(); }
  // Whether `size` bytes at `object` fit in the memory block the object
  // starts in, if it starts in one: NDIS writes the whole of the objects it
  // fills, so an object declared too small runs past its block. A broken
  // rule when not; `what` names the object.
  [[nodiscard]] bool holdsWhole(const void* object, std::size_t size, const std::string& what);
  NDIS_STATUS registerIoPortRange(const MiniportAdapter& owner, UINT base, UINT count);
  void deregisterIoPortRange(const MiniportAdapter& owner, UINT base, UINT count);
  [[nodiscard]] std::size_t ioPortRangesHeld() const { return ioRanges_.size(); }
  [[nodiscard]] std::size_t ioPortRangesHeldBy(const MiniportAdapter& owner) const;
  // Whether an adapter other than `asker` has an interrupt connected on
  // `vector`.
  [[nodiscard]] bool vectorTaken(UINT vector, const MiniportAdapter& asker) const;

 private:
  struct IoRange {
    const MiniportAdapter* owner;
    UINT base;
    UINT count;
  };

  MachineSetup setup_;
  Machine* previous_;
  SharedClock* shared_;
  std::optional<Clock> ownClock_;  // none on a shared clock
  Clock& clock_;
  WorldRandom random_{setup_.seed};
  IoBus bus_{clock_};
  Processor processor_;
  std::map<UINT, InterruptSource*> lines_;

  NdisFailures ndisFailures_;
  HandleTable handles_;
  std::array<Duration, kIrqls> longestStall_{};
  bool wrapperInitialized_ = false;
  std::optional<NDIS40_MINIPORT_CHARACTERISTICS> characteristics_;
  UINT registeredLength_ = 0;
  std::vector<std::unique_ptr<MiniportAdapter>> adapters_;

  struct MemoryBlock {
    std::unique_ptr<std::uint8_t[]> bytes;
    UINT length;
  };
  std::map<PVOID, MemoryBlock> memory_;
  std::vector<IoRange> ioRanges_;
  std::vector<ErrorLogEntry> errorLog_;
  std::function<void(const std::string&)> violationHandler_;
  std::function<void(MiniportAdapter&)> adapterCheck_;
  // The outermost serialised handler: the one its bounds are kept for.
  std::string_view handlerName_;
  // The access count and the time past which the running serialised handler
  // has overrun its bounds; the largest values while none runs, or once its
  // overrun has been reported.
  std::uint64_t handlerAccessLimit_ = kNoAccessLimit;
  VirtualTime handlerTimeLimit_ = kNoTimeLimit;
  static constexpr std::uint64_t kNoAccessLimit = ~std::uint64_t{0};
  static constexpr VirtualTime kNoTimeLimit = VirtualTime::max();

  [[nodiscard]] bool handlerOverBounds() const {
    return bus_.accessCount() > handlerAccessLimit_ || clock_.now() > handlerTimeLimit_;
  }
  // Which bound the running handler has passed, in words.
  [[nodiscard]] std::string describeOverBounds() const;
  [[noreturn]] void stopHandlerOverBounds();
  void setHandlerLimits();
  void clearHandlerLimits() {
    handlerAccessLimit_ = kNoAccessLimit;
    handlerTimeLimit_ = kNoTimeLimit;
  }
};

}  // namespace kl::sim
