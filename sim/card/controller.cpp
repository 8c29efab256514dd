#include "sim/card/controller.h"

#include "sim/core/bytes.h"

namespace kl::sim::card {

namespace {

constexpr std::uint8_t kWriteOnlyRead = 0x00;  // a write-only register read back
constexpr std::uint8_t kAbsent = 0xFF;         // an offset no register answers
// IMR has no bit for RST: entering the stopped state never interrupts.
constexpr std::uint8_t kImrBits = 0x7F;

using Names = std::array<std::string_view, reg::kWindowSize>;

constexpr Names kPage0ReadNames = {"CR",    "",      "", "BNRY", "TSR", "",      "",      "ISR",
                                   "CRDA0", "CRDA1", "", "",     "RSR", "CNTR0", "CNTR1", "CNTR2"};
constexpr Names kPage0WriteNames = {"CR",    "PSTART", "PSTOP", "BNRY",  "TPSR",  "TBCR0",
                                    "TBCR1", "ISR",    "RSAR0", "RSAR1", "RBCR0", "RBCR1",
                                    "RCR",   "TCR",    "DCR",   "IMR"};
constexpr Names kPage1Names = {"CR",   "PAR0", "PAR1", "PAR2", "PAR3", "PAR4", "PAR5", "CURR",
                               "MAR0", "MAR1", "MAR2", "MAR3", "MAR4", "MAR5", "MAR6", "MAR7"};
constexpr Names kPage2Names = {"CR"};
constexpr Names kPage3Names = {"CR", "", "", "MIIMR"};

}  // namespace

Controller::Controller(Clock& clock, CardMemory& memory, CardFaults& faults)
    : faults_(faults),
      dma_(memory, faults),
      transmitter_(clock, memory, faults,
                   [this](const TransmitEngine::Outcome& outcome) { transmitted(outcome); }),
      receiver_(memory, faults) {}

std::uint8_t Controller::readRegister(std::uint8_t offset) {
  if (offset >= reg::kWindowSize) {
    return kAbsent;
  }
  if (offset == reg::kCr) {
    return readCommand();
  }
  switch (page()) {
    case 0:
      return readPage0(offset);
    case 1:
      return readPage1(offset);
    case 3:
      return offset == reg::kMiimr ? readMiimr() : kAbsent;
    default:
      return kAbsent;
  }
}

void Controller::writeRegister(std::uint8_t offset, std::uint8_t value) {
  if (offset >= reg::kWindowSize) {
    return;
  }
  if (offset == reg::kCr) {
    command(value);
    return;
  }
  switch (page()) {
    case 0:
      writePage0(offset, value);
      break;
    case 1:
      writePage1(offset, value);
      break;
    case 3:
      if (offset == reg::kMiimr) {
        writeMiimr(value);
      }
      break;
    default:
      break;
  }
}

std::string_view Controller::registerName(std::uint8_t offset, Direction direction) const {
  if (offset >= reg::kWindowSize) {
    return {};
  }
  switch (page()) {
    case 0:
      return direction == Direction::Read ? kPage0ReadNames[offset] : kPage0WriteNames[offset];
    case 1:
      return kPage1Names[offset];
    case 2:
      return kPage2Names[offset];
    default:
      return kPage3Names[offset];
  }
}

std::uint8_t Controller::readCommand() const {
  if (faults_.crReadBack) {
    return *faults_.crReadBack;
  }
  const std::uint8_t value =
      transmitter_.busy() ? static_cast<std::uint8_t>(cr_ | reg::kCrTxp) : cr_;
  if (faults_.stoppedStateHidden) {
    return static_cast<std::uint8_t>(value & ~reg::kCrStp);
  }
  return value;
}

std::uint8_t Controller::readPage0(std::uint8_t offset) {
  switch (offset) {
    case reg::kBnry:
      return bnry_;
    case reg::kTpsrTsr:
      return tsr_;
    case reg::kIsr:
      return isr();
    case reg::kRsar0Crda0:
      return lowByte(dma_.currentAddress());
    case reg::kRsar1Crda1:
      return highByte(dma_.currentAddress());
    case reg::kRcrRsr:
      return rsr_;
    case reg::kTcrCntr0:
      return tallies_.take(Tally::FrameAlignment);
    case reg::kDcrCntr1:
      return tallies_.take(Tally::Crc);
    case reg::kImrCntr2:
      return tallies_.take(Tally::MissedFrame);
    default:
      return kWriteOnlyRead;
  }
}

void Controller::writePage0(std::uint8_t offset, std::uint8_t value) {
  switch (offset) {
    case reg::kPstart:
      pstart_ = value;
      break;
    case reg::kPstop:
      pstop_ = value;
      break;
    case reg::kBnry:
      bnry_ = value;
      break;
    case reg::kTpsrTsr:
      tpsr_ = value;
      break;
    case reg::kTbcr0:
      tbcr_ = withLowByte(tbcr_, value);
      break;
    case reg::kTbcr1:
      tbcr_ = withHighByte(tbcr_, value);
      break;
    case reg::kIsr:
      isrLatched_ &= static_cast<std::uint8_t>(~value);
      break;
    case reg::kRsar0Crda0:
      dma_.setStartAddressLow(value);
      break;
    case reg::kRsar1Crda1:
      dma_.setStartAddressHigh(value);
      break;
    case reg::kRbcr0:
      dma_.setByteCountLow(value);
      break;
    case reg::kRbcr1Vendor:
      dma_.setByteCountHigh(value);
      break;
    case reg::kRcrRsr:
      rcr_ = value;
      break;
    case reg::kTcrCntr0:
      tcr_ = value;
      break;
    case reg::kDcrCntr1:
      dcr_ = value;
      break;
    case reg::kImrCntr2:
      imr_ = value & kImrBits;
      break;
    default:
      break;
  }
}

std::uint8_t Controller::readPage1(std::uint8_t offset) const {
  if (offset < reg::kCurr) {
    return par_[offset - reg::kPar0];
  }
  if (offset == reg::kCurr) {
    return curr_;
  }
  return mar_[offset - reg::kMar0];
}

void Controller::writePage1(std::uint8_t offset, std::uint8_t value) {
  if (offset < reg::kCurr) {
    par_[offset - reg::kPar0] = value;
  } else if (offset == reg::kCurr) {
    curr_ = value;
  } else {
    mar_[offset - reg::kMar0] = value;
  }
}

std::uint8_t Controller::readMiimr() const {
  const bool mdio = miiPort_ == nullptr || miiPort_->mdio();
  return static_cast<std::uint8_t>((miimr_ & ~reg::kMiimrMdioIn) | (mdio ? reg::kMiimrMdioIn : 0));
}

void Controller::writeMiimr(std::uint8_t value) {
  miimr_ = value;
  if (miiPort_ != nullptr) {
    miiPort_->drive(value);
  }
}

void Controller::command(std::uint8_t value) {
  cr_ = static_cast<std::uint8_t>(value & ~reg::kCrTxp);
  applyRunState(value);
  applyRemoteDmaCommand(value & reg::kCrRdMask);
  // A TXP while a frame is being sent, or while stopped, does nothing.
  if ((value & reg::kCrTxp) != 0 && !stopped_ && !transmitter_.busy()) {
    transmitter_.start(
        TransmitEngine::Request{.page = tpsr_,
                                .count = tbcr_,
                                .loopback = (tcr_ & reg::kTcrLoopbackMask) != 0,
                                .fullDuplex = (miimr_ & reg::kMiimrFullDuplex) != 0});
  }
}

// STP wins when both STP and STA are written.
void Controller::applyRunState(std::uint8_t value) {
  if ((value & reg::kCrStp) != 0) {
    enterStoppedState();
  } else if ((value & reg::kCrSta) != 0) {
    stopped_ = false;
  }
}

// Stopping cuts off the frame being sent and lifts the receiver's overflow
// latch, which only a stop and a new start clear.
void Controller::enterStoppedState() {
  stopped_ = true;
  transmitter_.stop();
  receiver_.stop();
}

void Controller::transmitted(const TransmitEngine::Outcome& outcome) {
  tsr_ = outcome.tsr;
  setIsrBits(outcome.isr);
}

void Controller::frameArrived(const net::WireFrame& frame) {
  if (stopped_ || (tcr_ & reg::kTcrLoopbackMask) != 0) {
    return;
  }
  const Reception reception = receiver_.receive(frame, ReceiveSetup{.rcr = rcr_,
                                                                    .par = par_,
                                                                    .mar = mar_,
                                                                    .pstart = pstart_,
                                                                    .pstop = pstop_,
                                                                    .bnry = bnry_,
                                                                    .curr = curr_});
  if (!reception.recognised) {
    return;
  }
  rsr_ = reception.rsr;
  curr_ = reception.curr;
  setIsrBits(reception.isr);
  if (reception.tally) {
    addTallyCounts(*reception.tally, 1);
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

void Controller::readData(std::span<std::uint8_t> bytes, CycleWidth cycle) {
  if (dma_.read(bytes, cycle, wordTransfers(), ring())) {
    setIsrBits(reg::kIsrRdc);
  }
}

void Controller::writeData(std::span<const std::uint8_t> bytes, CycleWidth cycle) {
  if (dma_.write(bytes, cycle, wordTransfers(), ring())) {
    setIsrBits(reg::kIsrRdc);
  }
}

void Controller::reset() {
  cr_ = reg::kCrAfterReset;
  enterStoppedState();
  imr_ = 0;
  dma_.abort();
}

std::uint8_t Controller::isr() const {
  std::uint8_t value = isrLatched_;
  if (stopped_ && !faults_.stoppedStateHidden && !faults_.rstHidden) {
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
