#include "sim/net/learning_switch.h"

#include <algorithm>

namespace kl::sim::net {

namespace {

LearningSwitch::Address addressAt(const WireFrame& frame, std::size_t offset) {
  LearningSwitch::Address address{};
  std::copy_n(frame.bytes.begin() + static_cast<std::ptrdiff_t>(offset), address.size(),
              address.begin());
  return address;
}

}  // namespace

LearningSwitch::~LearningSwitch() {
  for (const auto& port : ports_) {
    port->end_.unplug();
  }
}

std::size_t LearningSwitch::addPort(Clock& clock, Cable::End& end) {
  const std::size_t index = ports_.size();
  ports_.push_back(std::make_unique<Port>(*this, index, clock, end));
  end.plug(*ports_.back());
  return index;
}

std::optional<std::size_t> LearningSwitch::portOf(const Address& address, VirtualTime now) const {
  const auto it = table_.find(address);
  if (it == table_.end() || now - it->second.learned > setup_.ageing) {
    return std::nullopt;
  }
  return it->second.port;
}

// Store and forward: only a whole frame with a good FCS goes on, and teaches
// the table its source.
void LearningSwitch::arrived(std::size_t from, const WireFrame& frame) {
  Port& in = *ports_.at(from);
  if (frame.bytes.size() < kMinFrameBytes || frame.misaligned ||
      !(frame.fcsIntact || fcsValid(frame.bytes))) {
    ++in.counts.discarded;
    return;
  }
  ++in.counts.received;
  const VirtualTime now = in.clock_.now();
  if (const Address source = addressAt(frame, kAddressBytes); !isGroupAddress(source)) {
    table_[source] = Entry{from, now};
  }
  forward(from, frame, now + setup_.latency);
}

// Each output port takes the frame at `at` on its own clock, which is never
// past it while the machines keep within the latency of each other.
void LearningSwitch::forward(std::size_t from, const WireFrame& frame, VirtualTime at) {
  const Address destination = addressAt(frame, 0);
  std::vector<std::size_t> outputs;
  if (const auto known = isGroupAddress(destination) ? std::nullopt : portOf(destination, at)) {
    if (*known != from) {
      outputs.push_back(*known);
    }
  } else {
    for (std::size_t to = 0; to < ports_.size(); ++to) {
      if (to != from) {
        outputs.push_back(to);
      }
    }
  }
  for (const std::size_t to : outputs) {
    Clock& clock = ports_[to]->clock_;
    clock.scheduleAt(std::max(at, clock.now()),
                     liveness_.guard([this, to, frame] { enqueue(to, frame); }));
  }
}

void LearningSwitch::enqueue(std::size_t to, const WireFrame& frame) {
  Port& out = *ports_.at(to);
  if (out.queue.size() >= setup_.queueDepth) {
    ++out.counts.dropped;
    for (const DropObserver& observer : dropObservers_) {
      observer(frame, to);
    }
    return;
  }
  out.queue.push_back(frame);
  if (out.queue.size() == 1) {
    sendNext(to);
  }
}

void LearningSwitch::sendNext(std::size_t to) {
  Port& out = *ports_.at(to);
  out.end_.send(out.queue.front(), liveness_.guard([this, to](const SendOutcome& /*outcome*/) {
    Port& port = *ports_.at(to);
    ++port.counts.sent;
    port.queue.pop_front();
    if (!port.queue.empty()) {
      sendNext(to);
    }
  }));
}

}  // namespace kl::sim::net
