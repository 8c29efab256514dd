#include "sim/core/clock.h"

#include <algorithm>
#include <cassert>

namespace kl::sim {

namespace {

constexpr int kGenerationShift = 32;

Clock::EventId idOf(std::uint32_t slot, std::uint32_t generation) {
  return Clock::EventId{(std::uint64_t{generation} << kGenerationShift) | slot};
}

}  // namespace

Clock::EventId Clock::scheduleAt(VirtualTime at, Callback callback) {
  const std::uint32_t slot = takeSlot();
  Slot& event = slots_[slot];
  event.callback = std::move(callback);
  event.at = std::max(at, now_);
  event.sequence = nextSequence_++;
  heap_.push_back(slot);
  event.heapIndex = static_cast<std::uint32_t>(heap_.size() - 1);
  siftUp(heap_.size() - 1);
  return idOf(slot, event.generation);
}

bool Clock::cancel(EventId id) {
  const auto slot = static_cast<std::uint32_t>(id.value);
  const auto generation = static_cast<std::uint32_t>(id.value >> kGenerationShift);
  if (slot >= slots_.size() || slots_[slot].generation != generation ||
      slots_[slot].heapIndex == kNotQueued || !slots_[slot].callback) {
    return false;
  }
  unqueue(slots_[slot].heapIndex);
  freeSlot(slot);
  return true;
}

std::optional<VirtualTime> Clock::nextEventTime() const {
  if (heap_.empty()) {
    return std::nullopt;
  }
  return slots_[heap_.front()].at;
}

bool Clock::fireNextDue(VirtualTime limit) {
  if (heap_.empty() || slots_[heap_.front()].at > limit) {
    return false;
  }
  const std::uint32_t slot = heap_.front();
  unqueue(0);
  now_ = slots_[slot].at;
  // The callback leaves its slot before it runs: what it schedules may take
  // the slot, or move the pool.
  Callback callback = std::move(slots_[slot].callback);
  freeSlot(slot);
  callback();
  return true;
}

void Clock::moveTo(VirtualTime to) {
  assert(to >= now_);
  now_ = to;
}

std::uint32_t Clock::takeSlot() {
  std::uint32_t slot = freeSlots_;
  if (slot == kNotQueued) {
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  } else {
    freeSlots_ = slots_[slot].heapIndex;
  }
  ++slots_[slot].generation;
  return slot;
}

void Clock::freeSlot(std::uint32_t slot) {
  Slot& event = slots_[slot];
  event.callback.reset();
  event.heapIndex = freeSlots_;
  freeSlots_ = slot;
}

void Clock::place(std::size_t index, std::uint32_t slot) {
  heap_[index] = slot;
  slots_[slot].heapIndex = static_cast<std::uint32_t>(index);
}

void Clock::siftUp(std::size_t index) {
  const std::uint32_t slot = heap_[index];
  while (index > 0) {
    const std::size_t parent = (index - 1) / 2;
    if (!before(slot, heap_[parent])) {
      break;
    }
    place(index, heap_[parent]);
    index = parent;
  }
  place(index, slot);
}

void Clock::siftDown(std::size_t index) {
  const std::uint32_t slot = heap_[index];
  const std::size_t size = heap_.size();
  while (true) {
    std::size_t child = 2 * index + 1;
    if (child >= size) {
      break;
    }
    if (child + 1 < size && before(heap_[child + 1], heap_[child])) {
      ++child;
    }
    if (!before(heap_[child], slot)) {
      break;
    }
    place(index, heap_[child]);
    index = child;
  }
  place(index, slot);
}

void Clock::unqueue(std::size_t index) {
  const std::uint32_t last = heap_.back();
  heap_.pop_back();
  if (index == heap_.size()) {
    return;
  }
  place(index, last);
  if (index > 0 && before(last, heap_[(index - 1) / 2])) {
    siftUp(index);
  } else {
    siftDown(index);
  }
}

}  // namespace kl::sim
