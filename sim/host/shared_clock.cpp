#include "sim/host/shared_clock.h"

#include "sim/host/machine.h"

namespace kl::sim {

void SharedClock::runFor(Duration duration) {
  runUntil(clock_, clock_.now() + duration, [this] { stepEach(); });
}

void SharedClock::stepEach() {
  for (Machine* machine : machines_) {
    machine->step();
  }
}

}  // namespace kl::sim
