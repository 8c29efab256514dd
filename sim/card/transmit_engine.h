// The controller's transmitter: on TXP it fetches TBCR bytes from page TPSR
// into its FIFO, sends them with the FCS it computes once its transmit-start
// time has passed, and reports the outcome once the frame and the
// inter-frame gap have passed on the wire. At half duplex the wire may make
// it defer, collide and retry first, or give the frame up after 16 attempts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "sim/card/card_faults.h"
#include "sim/card/card_memory.h"
#include "sim/card/timing.h"
#include "sim/core/clock.h"
#include "sim/core/liveness.h"
#include "sim/net/jack.h"

namespace kl::sim::card {

class TransmitEngine {
 public:
  // What TXP found in the registers.
  struct Request {
    std::uint8_t page = 0;    // TPSR
    std::uint16_t count = 0;  // TBCR
    bool loopback = false;    // TCR's loopback field non-zero
    bool fullDuplex = true;   // the MAC's duplex at this TXP
  };
  // How a transmission ended: the TSR value and the ISR bit it raises.
  struct Outcome {
    std::uint8_t tsr = 0;
    std::uint8_t isr = 0;
  };
  using Completion = std::function<void(const Outcome&)>;

  // A card on no cable times its frames at this rate.
  static constexpr net::BitRate kUnpluggedRate = net::BitRate::Mbit100;

  TransmitEngine(Clock& clock, const CardMemory& memory, CardFaults& faults,
                 const TimingSetup& timing, Completion done);
  TransmitEngine(const TransmitEngine&) = delete;
  TransmitEngine& operator=(const TransmitEngine&) = delete;
  ~TransmitEngine() = default;

  void plugInto(net::Jack* end) { end_ = end; }
  [[nodiscard]] net::Jack* end() const { return end_; }
  [[nodiscard]] net::BitRate bitRate() const {
    return end_ != nullptr ? end_->bitRate() : kUnpluggedRate;
  }

  // A transmission is under way; the controller ignores TXP meanwhile.
  [[nodiscard]] bool busy() const {
    return starting_.has_value() || completion_.has_value() || onWire_.has_value();
  }
  void start(const Request& request);
  // The controller stopped. A frame not yet started, or still on its way,
  // is cut off: it never arrives and is never reported. One that has arrived already has been
  // sent, and its PTX still comes at the end of the inter-frame gap.
  void stop();

 private:
  void send(const Request& request);
  void sendOnWire(net::WireFrame wire, bool fullDuplex);
  void finish(const Outcome& outcome);

  Clock& clock_;
  const CardMemory& memory_;
  CardFaults& faults_;
  TimingSource timing_;
  Completion done_;
  net::Jack* end_ = nullptr;
  // A TXP whose frame is still being fetched.
  std::optional<Clock::EventId> starting_;
  // A frame that never reaches a cable: its outcome is the engine's own.
  std::optional<Clock::EventId> completion_;
  // A frame handed to the cable, and the end it went to; the cable reports.
  std::optional<net::Transmission> onWire_;
  net::Jack* sentOn_ = nullptr;
  // Tells the outcome of the current frame from one of a frame given up.
  std::uint64_t generation_ = 0;
  Liveness liveness_;
};

}  // namespace kl::sim::card
