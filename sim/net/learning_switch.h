// A learning switch (IEEE 802.1D): store and forward between full-duplex
// ports, each on a cable of its own at its own speed.
//
// A frame that arrives whole with a good FCS teaches the switch where its
// source address lives; an entry not refreshed within the ageing time is
// forgotten. A frame to a known unicast address goes out of that port alone
// (or nowhere, when it came in there); one to an unknown address, to a group
// or to broadcast is flooded to every other port. Each port has an output
// queue of a bounded depth in frames, the one on the wire included; a frame
// that finds it full is dropped (tail drop) and counted.
//
// A frame is forwarded a fixed latency after its last bit arrived: the time
// the switch takes to look it up, and the lookahead that lets ports on
// machines with clocks of their own run in step (see Network).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "sim/core/clock.h"
#include "sim/core/liveness.h"
#include "sim/net/cable.h"

namespace kl::sim::net {

struct SwitchSetup {
  std::size_t queueDepth = 64;  // frames per output port
  Duration ageing = std::chrono::seconds(300);
  Duration latency = std::chrono::microseconds(10);
};

// What one port did.
struct SwitchPortCounts {
  std::uint64_t received = 0;   // whole, good frames in
  std::uint64_t discarded = 0;  // frames in with a bad FCS or too short
  std::uint64_t sent = 0;       // frames out
  std::uint64_t dropped = 0;    // frames out the full queue turned away
};

class LearningSwitch {
 public:
  using Address = std::array<std::uint8_t, kAddressBytes>;
  // A frame the queue of port `to` turned away.
  using DropObserver = std::function<void(const WireFrame& frame, std::size_t to)>;

  explicit LearningSwitch(const SwitchSetup& setup = {}) : setup_(setup) {}
  LearningSwitch(const LearningSwitch&) = delete;
  LearningSwitch& operator=(const LearningSwitch&) = delete;
  ~LearningSwitch();

  // A port at the end of a cable whose frames run on `clock`; the switch
  // plugs into the end until it is destroyed. Returns the port's number.
  std::size_t addPort(Clock& clock, Cable::End& end);

  [[nodiscard]] std::size_t portCount() const { return ports_.size(); }
  [[nodiscard]] const SwitchPortCounts& counts(std::size_t port) const {
    return ports_.at(port)->counts;
  }
  // The port the forwarding table holds for `address`, when it holds one
  // that has not aged.
  [[nodiscard]] std::optional<std::size_t> portOf(const Address& address, VirtualTime now) const;
  [[nodiscard]] Duration latency() const { return setup_.latency; }

  void onDrop(DropObserver observer) { dropObservers_.push_back(std::move(observer)); }

 private:
  class Port final : public Station {
   public:
    Port(LearningSwitch& owner, std::size_t index, Clock& clock, Cable::End& end)
        : owner_(owner), index_(index), clock_(clock), end_(end) {}
    void frameArrived(const WireFrame& frame) override { owner_.arrived(index_, frame); }

    LearningSwitch& owner_;
    std::size_t index_;
    Clock& clock_;
    Cable::End& end_;
    std::deque<WireFrame> queue;  // the frame on the wire first
    SwitchPortCounts counts;
  };
  struct Entry {
    std::size_t port = 0;
    VirtualTime learned{};
  };

  void arrived(std::size_t from, const WireFrame& frame);
  void forward(std::size_t from, const WireFrame& frame, VirtualTime at);
  void enqueue(std::size_t to, const WireFrame& frame);
  void sendNext(std::size_t to);

  SwitchSetup setup_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::map<Address, Entry> table_;
  std::vector<DropObserver> dropObservers_;
  Liveness liveness_;
};

}  // namespace kl::sim::net
