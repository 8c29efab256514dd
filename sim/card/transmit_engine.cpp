#include "sim/card/transmit_engine.h"

#include <vector>

#include "sim/card/registers.h"
#include "sim/net/ethernet.h"

namespace kl::sim::card {

void TransmitEngine::start(const Request& request) {
  std::vector<std::uint8_t> frame(request.count);
  memory_.read(request.page * CardMemory::kPageSize, frame);
  net::WireFrame wire{net::withFcs(frame)};

  const bool aborted = faults_.transmitAborts > 0;
  if (aborted) {
    --faults_.transmitAborts;
  }
  Outcome outcome{reg::kTsrPtx, reg::kIsrPtx};
  VirtualTime finished =
      clock_.now() + net::frameTime(wire.bytes.size(), bitRate()) + net::interFrameGap(bitRate());
  if (aborted) {
    outcome = Outcome{reg::kTsrAbt, reg::kIsrTxe};
  } else if (!request.loopback) {
    if (end_ == nullptr || !end_->carriesFrames()) {
      outcome.tsr |= reg::kTsrCrs;
    }
    if (end_ != nullptr) {
      onWire_ = end_->send(std::move(wire));
      finished = onWire_->leftAt;
    }
  }
  completion_ = clock_.scheduleAt(finished, liveness_.guard([this, outcome] { finish(outcome); }));
}

void TransmitEngine::finish(const Outcome& outcome) {
  completion_.reset();
  onWire_.reset();
  done_(outcome);
}

void TransmitEngine::stop() {
  if (!completion_) {
    return;
  }
  const bool delivered = onWire_ && end_ != nullptr && !end_->cutOff(*onWire_);
  if (!delivered) {
    clock_.cancel(*completion_);
    completion_.reset();
    onWire_.reset();
  }
}

}  // namespace kl::sim::card
