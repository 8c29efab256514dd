#include "sim/card/controller.h"

#include "sim/core/bytes.h"

namespace kl::sim::card {

namespace {

constexpr std::uint8_t kWriteOnlyRead = 0x00;  // a write-only register read back
constexpr std::uint8_t kAbsent = 0xFF;         // an offset no register answers

// Mixed into the machine's seed for the controller's draws.
constexpr std::uint64_t kTimingSalt = 0x8390;

}  // namespace

Controller::Controller(Clock& clock, CardMemory& memory, CardFaults& faults,
                       const TimingSetup& timing)
    : clock_(clock),
      faults_(faults),
      timing_(timing, kTimingSalt),
      dma_(memory, faults),
      transmitter_(clock, memory, faults, timing,
                   [this](const TransmitEngine::Outcome& outcome) { transmitted(outcome); }),
      receiver_(memory, faults) {}

Controller::RegisterFile Controller::powerUpValues() {
  RegisterFile values{};
  for (const RegisterInfo& info : kRegisters) {
    values[static_cast<std::size_t>(info.id)] = info.resetValue;
  }
  return values;
}

std::uint8_t Controller::readRegister(std::uint8_t offset) {
  const RegisterInfo* info = findRegister(page(), offset, Direction::Read);
  return info != nullptr ? read(info->id) : noRegister(offset, Direction::Read);
}

void Controller::writeRegister(std::uint8_t offset, std::uint8_t value) {
  if (const RegisterInfo* info = findRegister(page(), offset, Direction::Write)) {
    write(*info, value);
  } else {
    noRegister(offset, Direction::Write);
  }
}

std::string_view Controller::registerName(std::uint8_t offset, Direction direction) const {
  const RegisterInfo* info = findRegister(page(), offset, direction);
  return info != nullptr ? info->name : std::string_view();
}

std::uint8_t Controller::noRegister(std::uint8_t offset, Direction direction) {
  if (brokenRule_ && heldToRules_) {
    brokenRule_(missingRegister(page(), offset, direction));
  }
  const Direction other = direction == Direction::Read ? Direction::Write : Direction::Read;
  return findRegister(page(), offset, other) != nullptr ? kWriteOnlyRead : kAbsent;
}

// Registers whose reads do more than return what the register holds.
std::uint8_t Controller::read(Register id) {
  switch (id) {
    case Register::Cr:
      return readCommand();
    case Register::Isr:
      return isr();
    case Register::Crda0:
      return lowByte(dma_.currentAddress());
    case Register::Crda1:
      return highByte(dma_.currentAddress());
    case Register::Cntr0:
      return tallies_.take(Tally::FrameAlignment);
    case Register::Cntr1:
      return tallies_.take(Tally::Crc);
    case Register::Cntr2:
      return tallies_.take(Tally::MissedFrame);
    case Register::Miimr:
      return readMiimr();
    default:
      return held(id);
  }
}

// The register takes the value as its masks allow; then the writes that
// act on the rest of the controller do so.
void Controller::write(const RegisterInfo& info, std::uint8_t value) {
  if (info.id == Register::Cr) {
    command(value);
    return;
  }
  hold(info.id) = info.written(held(info.id), value);
  switch (info.id) {
    case Register::Rsar0:
      dma_.setStartAddressLow(value);
      break;
    case Register::Rsar1:
      dma_.setStartAddressHigh(value);
      break;
    case Register::Rbcr0:
      dma_.setByteCountLow(value);
      enterResetStateWhenIdle();
      break;
    case Register::Rbcr1:
      dma_.setByteCountHigh(value);
      enterResetStateWhenIdle();
      break;
    case Register::Miimr:
      if (miiPort_ != nullptr) {
        miiPort_->drive(value);
      }
      break;
    default:
      break;
  }
}

std::uint8_t Controller::readCommand() const {
  if (faults_.crReadBack) {
    return *faults_.crReadBack;
  }
  const std::uint8_t value = transmitter_.busy()
                                 ? static_cast<std::uint8_t>(held(Register::Cr) | reg::kCrTxp)
                                 : held(Register::Cr);
  if (faults_.stoppedStateHidden) {
    return static_cast<std::uint8_t>(value & ~reg::kCrStp);
  }
  return value;
}

std::uint8_t Controller::readMiimr() const {
  const bool mdio = miiPort_ == nullptr || miiPort_->mdio();
  return static_cast<std::uint8_t>((held(Register::Miimr) & ~reg::kMiimrMdioIn) |
                                   (mdio ? reg::kMiimrMdioIn : 0));
}

void Controller::command(std::uint8_t value) {
  hold(Register::Cr) = static_cast<std::uint8_t>(value & ~reg::kCrTxp);
  applyRunState(value);
  applyRemoteDmaCommand(value & reg::kCrRdMask);
  // A TXP while a frame is being sent, or while stopped, does nothing.
  if ((value & reg::kCrTxp) != 0 && !stopped_ && !transmitter_.busy()) {
    transmitter_.start(
        TransmitEngine::Request{.page = tpsr(),
                                .count = transmitByteCount(),
                                .loopback = (tcr() & reg::kTcrLoopbackMask) != 0,
                                .fullDuplex = (miimr() & reg::kMiimrFullDuplex) != 0});
  }
}

// STP wins when both STP and STA are written.
void Controller::applyRunState(std::uint8_t value) {
  if ((value & reg::kCrStp) != 0) {
    enterStoppedState(Timing::ControllerStop);
  } else if ((value & reg::kCrSta) != 0) {
    stopped_ = false;
    inResetState_ = false;
  }
}

// Stopping cuts off the frame being sent at once; the reset state follows
// after the controller's stop (or reset) time.
void Controller::enterStoppedState(Timing entry) {
  if (!stopped_) {
    resetStateFrom_ = clock_.now() + timing_(entry);
  }
  stopped_ = true;
  transmitter_.stop();
  enterResetStateWhenIdle();
}

// A stopped controller reaches its reset state, where RST shows and the
// receiver's overflow latch lifts, only with no remote-DMA bytes left to
// move: after a transfer cut short, not before the host writes RBCR zero.
// That is why a stop, for a restart or an overflow recovery, is followed by
// clearing RBCR0 and RBCR1.
void Controller::enterResetStateWhenIdle() {
  if (stopped_ && dma_.remainingCount() == 0) {
    inResetState_ = true;
    receiver_.stop();
  }
}

void Controller::transmitted(const TransmitEngine::Outcome& outcome) {
  setTsr(outcome.tsr);
  setIsrBits(outcome.isr);
}

void Controller::frameArrived(const net::WireFrame& frame) {
  if (stopped_ || (tcr() & reg::kTcrLoopbackMask) != 0) {
    ++framesNotStored_;
    return;
  }
  const Reception reception = receiver_.receive(frame, ReceiveSetup{.rcr = rcr(),
                                                                    .par = stationAddress(),
                                                                    .mar = multicastFilter(),
                                                                    .pstart = pstart(),
                                                                    .pstop = pstop(),
                                                                    .bnry = bnry(),
                                                                    .curr = curr()});
  if (!reception.recognised) {
    return;
  }
  hold(Register::Rsr) = reception.rsr;
  setCurr(reception.curr);
  setIsrBits(reception.isr);
  if (reception.tally) {
    addTallyCounts(*reception.tally, 1);
    framesNotStored_ += *reception.tally == Tally::MissedFrame ? 1 : 0;
  }
}

// Field 0 is no command, and this controller has no send-packet command
// (0x18): both leave the channel as it is.
void Controller::applyRemoteDmaCommand(std::uint8_t rd) {
  if ((rd & reg::kCrRdAbort) != 0) {
    dma_.abort();
  } else if (rd == reg::kCrRdRead || rd == reg::kCrRdWrite) {
    const Direction direction = rd == reg::kCrRdRead ? Direction::Read : Direction::Write;
    if (dma_.start(direction)) {
      setIsrBits(reg::kIsrRdc);
    }
  }
}

// A remote write completes once its last word is in card memory. A remote
// read has fetched its last word before the host takes it, and completes
// with that.
void Controller::remoteWriteComplete() {
  clock_.scheduleIn(timing_(Timing::RemoteDmaComplete),
                    liveness_.guard([this] { setIsrBits(reg::kIsrRdc); }));
}

void Controller::readData(std::span<std::uint8_t> bytes, CycleWidth cycle) {
  if (dma_.read(bytes, cycle, wordTransfers(), ring())) {
    setIsrBits(reg::kIsrRdc);
  }
}

void Controller::writeData(std::span<const std::uint8_t> bytes, CycleWidth cycle) {
  if (dma_.write(bytes, cycle, wordTransfers(), ring())) {
    remoteWriteComplete();
  }
}

void Controller::reset() {
  hold(Register::Cr) = reg::kCrAfterReset;
  hold(Register::Imr) = registerInfo(Register::Imr).resetValue;
  dma_.abort();
  dma_.setByteCountLow(0);
  dma_.setByteCountHigh(0);
  enterStoppedState(Timing::ControllerReset);
}

std::uint8_t Controller::isr() const {
  std::uint8_t value = held(Register::Isr);
  if (inResetState_ && clock_.now() >= resetStateFrom_ && !faults_.stoppedStateHidden &&
      !faults_.rstHidden) {
    value |= reg::kIsrRst;
  }
  if (tallies_.anyHalfFull()) {
    value |= reg::kIsrCnt;
  }
  return value;
}

void Controller::addTallyCounts(Tally tally, unsigned events) {
  if (tallies_.add(tally, events)) {
    setIsrBits(reg::kIsrCnt);
  }
}

}  // namespace kl::sim::card
