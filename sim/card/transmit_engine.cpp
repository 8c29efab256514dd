#include "sim/card/transmit_engine.h"

#include <vector>

#include "sim/card/registers.h"
#include "sim/net/ethernet.h"

namespace kl::sim::card {

namespace {

// Mixed into the machine's seed for the transmitter's draws.
constexpr std::uint64_t kTimingSalt = 0x7C;

// TSR and ISR as a frame's fate on the wire sets them. Excessive collisions
// abort the frame: TSR shows ABT and COL without PTX, and ISR TXE.
TransmitEngine::Outcome outcomeOf(const net::SendOutcome& sent, bool carrier) {
  std::uint8_t tsr = carrier ? 0 : reg::kTsrCrs;
  if (sent.collisions > 0) {
    tsr |= reg::kTsrCol;
  }
  if (sent.lateCollision) {
    tsr |= reg::kTsrOwc;
  }
  if (sent.aborted) {
    return {static_cast<std::uint8_t>(tsr | reg::kTsrAbt), reg::kIsrTxe};
  }
  return {static_cast<std::uint8_t>(tsr | reg::kTsrPtx), reg::kIsrPtx};
}

}  // namespace

TransmitEngine::TransmitEngine(Clock& clock, const CardMemory& memory, CardFaults& faults,
                               const TimingSetup& timing, Completion done)
    : clock_(clock),
      memory_(memory),
      faults_(faults),
      timing_(timing, kTimingSalt),
      done_(std::move(done)) {}

void TransmitEngine::start(const Request& request) {
  starting_ = clock_.scheduleIn(timing_(Timing::TransmitStart), liveness_.guard([this, request] {
    starting_.reset();
    send(request);
  }));
}

void TransmitEngine::send(const Request& request) {
  net::WireFrame wire{.fcsIntact = true};
  wire.bytes.reserve(request.count + net::kFcsBytes);
  wire.bytes.resize(request.count);
  memory_.read(request.page * CardMemory::kPageSize, wire.bytes);
  net::appendFcs(wire.bytes);
  ++generation_;

  const bool aborted = faults_.transmitAborts > 0;
  if (aborted) {
    --faults_.transmitAborts;
  }
  if (!aborted && !request.loopback && end_ != nullptr) {
    sendOnWire(std::move(wire), request.fullDuplex);
    return;
  }
  Outcome outcome{reg::kTsrPtx, reg::kIsrPtx};
  if (aborted) {
    outcome = Outcome{reg::kTsrAbt, reg::kIsrTxe};
  } else if (!request.loopback) {
    outcome.tsr |= reg::kTsrCrs;
  }
  const VirtualTime finished =
      clock_.now() + net::frameTime(wire.bytes.size(), bitRate()) + net::interFrameGap(bitRate());
  completion_ = clock_.scheduleAt(finished, liveness_.guard([this, outcome] { finish(outcome); }));
}

// The duplex is the MAC's at the moment of TXP; the frame keeps it through
// its retries.
void TransmitEngine::sendOnWire(net::WireFrame wire, bool fullDuplex) {
  const bool carrier = end_->carriesFrames();
  end_->setDuplex(fullDuplex ? net::Duplex::Full : net::Duplex::Half);
  sentOn_ = end_;
  onWire_ = end_->send(
      std::move(wire),
      liveness_.guard([this, carrier, generation = generation_](const net::SendOutcome& sent) {
        if (generation == generation_) {
          finish(outcomeOf(sent, carrier));
        }
      }));
}

void TransmitEngine::finish(const Outcome& outcome) {
  completion_.reset();
  onWire_.reset();
  sentOn_ = nullptr;
  done_(outcome);
}

// A frame the cable can no longer cut off (it has arrived) still reports. A
// frame on a cable the card has been unplugged from since is given up.
void TransmitEngine::stop() {
  if (starting_) {
    clock_.cancel(*starting_);
    starting_.reset();
    return;
  }
  if (!busy()) {
    return;
  }
  if (onWire_ && sentOn_ == end_ && !end_->cutOff(*onWire_)) {
    return;
  }
  ++generation_;
  if (completion_) {
    clock_.cancel(*completion_);
  }
  completion_.reset();
  onWire_.reset();
  sentOn_ = nullptr;
}

}  // namespace kl::sim::card
