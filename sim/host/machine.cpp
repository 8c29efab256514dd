#include "sim/host/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "sim/host/handler_names.h"

namespace kl::sim {

namespace {

thread_local Machine* currentMachine = nullptr;

// What fresh pool memory holds: a driver that forgets to clear its record
// reads this instead of a lucky zero.
constexpr std::uint8_t kUninitialisedFill = 0xCD;

constexpr char16_t kRegistryPath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KL7046";

}  // namespace

Machine::Machine(MachineSetup setup)
    : setup_(setup),
      previous_(currentMachine),
      shared_(setup.sharedClock),
      clock_(shared_ != nullptr ? shared_->clock() : ownClock_.emplace()) {
  currentMachine = this;
  if (shared_ != nullptr) {
    shared_->join(*this);
  }
  bus_.setCycleTimes(setup_.busCycles);
  // The processor is held for the access's cycles, as in a busy wait: the
  // world goes on meanwhile, and an interrupt is taken at the end.
  bus_.setAccessObserver([this](Duration cycles) {
    checkHandlerStillInBounds();
    if (cycles > Duration{}) {
      runFor(cycles);
    } else {
      processor_.poll();
    }
  });
  processor_.watchHandlers([this](Processor::HandlerEdge edge) { watchHandler(edge); });
}

void Machine::watchHandler(Processor::HandlerEdge edge) {
  if (edge == Processor::HandlerEdge::Entered) {
    handlerName_ = processor_.handler();
    setHandlerLimits();
    return;
  }
  if (handlerOverBounds()) {
    violation(describeOverBounds());
  }
  if (adapterCheck_) {
    for (const auto& adapter : adapters_) {
      if (adapter->initialized()) {
        adapterCheck_(*adapter);
      }
    }
  }
  clearHandlerLimits();
}

// Bounds too large to be reached leave the limit at its largest rather than
// wrapping round.
void Machine::setHandlerLimits() {
  const HandlerBounds& bounds = setup_.handlerBounds;
  const std::uint64_t accesses = bus_.accessCount();
  handlerAccessLimit_ =
      bounds.accesses > kNoAccessLimit - accesses ? kNoAccessLimit : accesses + bounds.accesses;
  const VirtualTime entered = now();
  handlerTimeLimit_ = bounds.time > kNoTimeLimit - entered ? kNoTimeLimit : entered + bounds.time;
}

std::string Machine::describeOverBounds() const {
  const HandlerBounds& bounds = setup_.handlerBounds;
  const std::string handler(handlerName_);
  if (now() > handlerTimeLimit_) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(bounds.time).count();
    return handler + " ran for more than " + std::to_string(ms) + " ms of virtual time";
  }
  return handler + " made more than " + std::to_string(bounds.accesses) + " port accesses";
}

// It cannot be let run on, and the driver's code cannot be unwound: the
// process stops after the report.
void Machine::stopHandlerOverBounds() {
  const std::string over = describeOverBounds();
  clearHandlerLimits();
  violation(over);
  std::fprintf(stderr, "kl7046 host: %s, and has not returned: stopping\n", over.c_str());
  std::abort();
}

Machine::~Machine() {
  adapters_.clear();
  if (shared_ != nullptr) {
    shared_->leave(*this);
  }
  currentMachine = previous_;
}

Machine& Machine::current() {
  if (currentMachine == nullptr) {
    std::fputs("kl7046 host: a platform call was made with no Machine on this thread\n", stderr);
    std::abort();
  }
  return *currentMachine;
}

Machine::Current::Current(Machine& machine) : previous_(currentMachine) {
  currentMachine = &machine;
}

Machine::Current::~Current() { currentMachine = previous_; }

void Machine::wireInterrupt(UINT vector, InterruptSource& line) { lines_[vector] = &line; }

InterruptSource* Machine::interruptLine(UINT vector) const {
  const auto it = lines_.find(vector);
  return it == lines_.end() ? nullptr : it->second;
}

void Machine::runFor(Duration duration) {
  if (shared_ != nullptr) {
    shared_->runFor(duration);
    return;
  }
  runUntil(clock_, clock_.now() + duration, [this] { processor_.poll(); });
}

NTSTATUS Machine::loadDriver(DriverEntryFunction entry) {
  static constexpr USHORT kPathBytes = sizeof(kRegistryPath) - sizeof(char16_t);
  DRIVER_OBJECT driverObject{};
  UNICODE_STRING registryPath{kPathBytes, sizeof(kRegistryPath), const_cast<PWSTR>(kRegistryPath)};
  return processor_.within(kDriverEntry, [&] { return entry(&driverObject, &registryPath); });
}

void Machine::stall(Duration duration) {
  Duration& longest = longestStall_[static_cast<std::size_t>(processor_.level())];
  longest = std::max(longest, duration);
  runFor(duration);
  checkHandlerStillInBounds();
}

// Made at every NDIS call: the words of a report are put together only
// when a rule is broken.
bool Machine::checkCall(PlatformCall call) {
  const CallRule& rule = ruleOf(call);
  const Irql level = processor_.level();
  const std::string_view handler = processor_.handler();
  const bool levelAllowed = (rule.allowed & levelBit(level)) != 0;
  const bool routineAllowed =
      !rule.initializeOnly || handler.empty() || handler == kMiniportInitialize;
  if (levelAllowed && routineAllowed) [[likely]] {
    return true;
  }
  const std::string from = handler.empty() ? "outside any handler" : "from " + std::string(handler);
  if (!levelAllowed) {
    violation(std::string(rule.name) + " called at " + std::string(nameOf(level)) + " " + from +
              "; the platform allows it at " + describe(rule.allowed) + " only");
  }
  if (!routineAllowed) {
    violation(std::string(rule.name) + " called " + from + "; only MiniportInitialize may call it");
  }
  return false;
}

MiniportAdapter* Machine::resolve(const void* handle, HandleKind kind, PlatformCall call) {
  const HandleTable::Entry* entry = handles_.find(handle);
  if (entry != nullptr && entry->kind == kind &&
      (kind != HandleKind::ConfigurationContext || entry->owner->configurable())) [[likely]] {
    return entry->owner;
  }
  const std::string name(ruleOf(call).name);
  if (entry == nullptr) {
    violation(name + " was given a handle NDIS never gave where " + std::string(describe(kind)) +
              " belongs; refused");
  } else if (entry->kind != kind) {
    violation(name + " was given " + std::string(describe(entry->kind)) + " where " +
              std::string(describe(kind)) + " belongs; refused");
  } else {
    violation(name + " was given the configuration context after MiniportInitialize " +
              "returned; it is valid only while NDIS initialises the adapter; refused");
  }
  return nullptr;
}

NDIS_HANDLE Machine::initializeWrapper(PVOID driverObject) {
  if (driverObject == nullptr) {
    violation("NdisInitializeWrapper called without the driver object");
  }
  wrapperInitialized_ = true;
  return this;
}

NDIS_STATUS Machine::registerMiniport(NDIS_HANDLE wrapper,
                                      const NDIS40_MINIPORT_CHARACTERISTICS& characteristics,
                                      UINT length) {
  if (wrapper != this || !wrapperInitialized_) {
    violation("NdisMRegisterMiniport called with a handle NdisInitializeWrapper did not give");
  }
  registeredLength_ = length;
  if (const auto failure = ndisFailures_.call(NdisOperation::RegisterMiniport)) {
    return *failure;
  }
  if (characteristics.MajorNdisVersion != 4 || characteristics.MinorNdisVersion != 0) {
    return NDIS_STATUS_BAD_VERSION;
  }
  if (length != sizeof(NDIS40_MINIPORT_CHARACTERISTICS)) {
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  const bool complete =
      characteristics.InitializeHandler != nullptr && characteristics.HaltHandler != nullptr &&
      characteristics.QueryInformationHandler != nullptr &&
      characteristics.SetInformationHandler != nullptr && characteristics.ResetHandler != nullptr &&
      (characteristics.SendHandler != nullptr || characteristics.SendPacketsHandler != nullptr);
  if (!complete) {
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  characteristics_ = characteristics;
  return NDIS_STATUS_SUCCESS;
}

MiniportAdapter& Machine::addAdapter(AdapterSetup setup) {
  adapters_.push_back(std::make_unique<MiniportAdapter>(*this, std::move(setup)));
  return *adapters_.back();
}

void Machine::violation(const std::string& what) {
  if (violationHandler_) {
    violationHandler_(what);
    return;
  }
  std::fprintf(stderr, "kl7046 host: NDIS rule broken: %s\n", what.c_str());
  std::abort();
}

NDIS_STATUS Machine::allocateMemory(PVOID* address, UINT length) {
  if (const auto failure = ndisFailures_.call(NdisOperation::AllocateMemory)) {
    *address = nullptr;
    return *failure;
  }
  if (length == 0) {
    *address = nullptr;
    return NDIS_STATUS_FAILURE;
  }
  auto bytes = std::make_unique<std::uint8_t[]>(length);
  std::memset(bytes.get(), kUninitialisedFill, length);
  *address = bytes.get();
  memory_.emplace(*address, MemoryBlock{std::move(bytes), length});
  return NDIS_STATUS_SUCCESS;
}

void Machine::freeMemory(PVOID address, UINT length) {
  const auto it = memory_.find(address);
  if (it == memory_.end()) {
    violation("NdisFreeMemory of memory NdisAllocateMemory did not give (or freed twice)");
    return;
  }
  if (it->second.length != length) {
    violation("NdisFreeMemory with a length other than the one allocated");
  }
  memory_.erase(it);
}

bool Machine::holdsWhole(const void* object, std::size_t size, const std::string& what) {
  auto it = memory_.upper_bound(const_cast<void*>(object));
  if (it == memory_.begin()) {
    return true;
  }
  --it;
  const auto start = reinterpret_cast<std::uintptr_t>(it->first);
  const auto offset = reinterpret_cast<std::uintptr_t>(object) - start;
  if (offset >= it->second.length || offset + size <= it->second.length) {
    return true;
  }
  violation(what + " (" + std::to_string(size) + " bytes at offset " + std::to_string(offset) +
            ") runs past the end of the " + std::to_string(it->second.length) +
            "-byte memory block that holds it");
  return false;
}

NDIS_STATUS Machine::registerIoPortRange(const MiniportAdapter& owner, UINT base, UINT count) {
  if (const auto failure = ndisFailures_.call(NdisOperation::RegisterIoPortRange)) {
    return *failure;
  }
  for (const IoRange& range : ioRanges_) {
    if (base < range.base + range.count && range.base < base + count) {
      return NDIS_STATUS_RESOURCE_CONFLICT;
    }
  }
  ioRanges_.push_back(IoRange{&owner, base, count});
  return NDIS_STATUS_SUCCESS;
}

void Machine::deregisterIoPortRange(const MiniportAdapter& owner, UINT base, UINT count) {
  const auto erased = std::erase_if(ioRanges_, [&](const IoRange& range) {
    return range.owner == &owner && range.base == base && range.count == count;
  });
  if (erased == 0) {
    violation("NdisMDeregisterIoPortRange of a range this adapter did not register");
  }
}

std::size_t Machine::ioPortRangesHeldBy(const MiniportAdapter& owner) const {
  return static_cast<std::size_t>(
      std::count_if(ioRanges_.begin(), ioRanges_.end(),
                    [&](const IoRange& range) { return range.owner == &owner; }));
}

bool Machine::vectorTaken(UINT vector, const MiniportAdapter& asker) const {
  return std::any_of(adapters_.begin(), adapters_.end(), [&](const auto& adapter) {
    return adapter.get() != &asker && adapter->connectedVector() == vector;
  });
}

}  // namespace kl::sim
