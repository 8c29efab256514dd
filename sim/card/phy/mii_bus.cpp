#include "sim/card/phy/mii_bus.h"

#include <stdexcept>

namespace kl::sim::card {

namespace {

constexpr std::uint8_t kMdc = 0x01;
constexpr std::uint8_t kMdioOut = 0x02;
constexpr std::uint8_t kRelease = 0x04;

constexpr unsigned kOpcodeBits = 2;
constexpr unsigned kAddressBits = 5;
constexpr unsigned kTurnaroundBits = 2;
constexpr unsigned kDataBits = 16;
constexpr std::uint16_t kOpcodeWrite = 0x1;
constexpr std::uint16_t kOpcodeRead = 0x2;

}  // namespace

void MiiBus::attach(std::uint8_t address, MiiDevice& device) {
  if (address >= kAddressCount || devices_[address] != nullptr) {
    throw std::invalid_argument("MII address out of range or taken");
  }
  devices_[address] = &device;
}

void MiiBus::detach(std::uint8_t address) {
  if (address < kAddressCount) {
    devices_[address] = nullptr;
  }
}

void MiiBus::setFloatingLevel(MdioLevel level) {
  floating_ = level;
  updateLine();
}

void MiiBus::drive(std::uint8_t miimr) {
  const bool rising = !lines_.mdc && (miimr & kMdc) != 0;
  lines_.mdc = (miimr & kMdc) != 0;
  lines_.hostDrives = (miimr & kRelease) == 0;
  lines_.hostLevel = (miimr & kMdioOut) != 0;
  updateLine();
  if (rising) {
    risingEdge(lines_.mdio);
  }
  if (observer_ != nullptr) {
    observer_->linesChanged(lines_);
  }
}

void MiiBus::updateLine() {
  if (lines_.hostDrives) {
    lines_.mdio = lines_.hostLevel;
  } else if (lines_.deviceDrives) {
    lines_.mdio = lines_.deviceLevel;
  } else {
    lines_.mdio = floating_ == MdioLevel::High;
  }
}

void MiiBus::deviceOutput(bool drives, bool level) {
  lines_.deviceDrives = drives;
  lines_.deviceLevel = level;
  updateLine();
}

bool MiiBus::shiftIn(bool bit, unsigned width) {
  shift_ = static_cast<std::uint16_t>((shift_ << 1) | (bit ? 1 : 0));
  return ++bits_ == width;
}

void MiiBus::risingEdge(bool bit) {
  switch (phase_) {
    case Phase::Preamble:
      if (bit) {
        ++ones_;
      } else if (ones_ >= kMinPreamble) {
        phase_ = Phase::Start;  // the 0 of the start pattern
      } else {
        ones_ = 0;
      }
      break;
    case Phase::Start:
      if (!bit) {
        abandon();
        break;
      }
      phase_ = Phase::Opcode;
      bits_ = 0;
      shift_ = 0;
      break;
    case Phase::Opcode:
      if (shiftIn(bit, kOpcodeBits)) {
        if (shift_ != kOpcodeWrite && shift_ != kOpcodeRead) {
          abandon();
          break;
        }
        frame_ = MiiFrame{shift_ == kOpcodeRead ? MiiFrame::Op::Read : MiiFrame::Op::Write};
        phase_ = Phase::Address;
        bits_ = 0;
        shift_ = 0;
      }
      break;
    case Phase::Address:
      if (shiftIn(bit, kAddressBits)) {
        frame_.phyAddress = static_cast<std::uint8_t>(shift_);
        phase_ = Phase::Register;
        bits_ = 0;
        shift_ = 0;
      }
      break;
    case Phase::Register:
      if (shiftIn(bit, kAddressBits)) {
        frame_.reg = static_cast<std::uint8_t>(shift_);
        fieldsComplete();
      }
      break;
    case Phase::Turnaround:
      turnaround();
      break;
    case Phase::Data:
      dataBit(bit);
      break;
  }
}

void MiiBus::fieldsComplete() {
  target_ = devices_[frame_.phyAddress];
  frame_.answered = target_ != nullptr;
  if (target_ != nullptr && frame_.op == MiiFrame::Op::Read) {
    reply_ = target_->readRegister(frame_.reg);
  }
  phase_ = Phase::Turnaround;
  bits_ = 0;
  shift_ = 0;
}

// The addressed device takes MDIO after the first turnaround edge, drives 0
// for the second, and puts bit 15 out after it.
void MiiBus::turnaround() {
  ++bits_;
  const bool replying = target_ != nullptr && frame_.op == MiiFrame::Op::Read;
  if (replying) {
    deviceOutput(true, bits_ == kTurnaroundBits && (reply_ & 0x8000) != 0);
  }
  if (bits_ == kTurnaroundBits) {
    phase_ = Phase::Data;
    bits_ = 0;
    shift_ = 0;
  }
}

void MiiBus::dataBit(bool bit) {
  const bool done = shiftIn(bit, kDataBits);
  if (target_ != nullptr && frame_.op == MiiFrame::Op::Read) {
    if (done) {
      deviceOutput(false);
    } else {
      deviceOutput(true, ((reply_ << bits_) & 0x8000) != 0);
    }
  }
  if (done) {
    frame_.data = shift_;
    if (target_ != nullptr && frame_.op == MiiFrame::Op::Write) {
      target_->writeRegister(frame_.reg, frame_.data);
    }
    finish();
  }
}

void MiiBus::finish() {
  if (observer_ != nullptr) {
    observer_->frameDecoded(frame_);
  }
  abandon();
}

void MiiBus::abandon() {
  phase_ = Phase::Preamble;
  ones_ = 0;
  bits_ = 0;
  shift_ = 0;
  target_ = nullptr;
}

}  // namespace kl::sim::card
