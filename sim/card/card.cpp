#include "sim/card/card.h"

#include <array>

#include "sim/card/register_table.h"
#include "sim/core/bytes.h"

namespace kl::sim::card {

namespace {

constexpr std::uint16_t kDataPort = 0x10;
constexpr std::uint16_t kResetPort = 0x18;
// Ports past the card's range: nothing on the card drives the data lines.
constexpr std::uint8_t kFloating = 0xFF;

}  // namespace

Card::Card(Clock& clock, const CardConfig& config)
    : busWidth_(config.busWidth),
      timing_(config.timing),
      memory_(config.memory, config.prom, faults_),
      controller_(clock, memory_, faults_, config.timing),
      mii_(config.mdioFloating) {
  controller_.attachMiiPort(&mii_);
  controller_.onStatusLatched([this] { lineMayHaveChanged(); });
  faults_.removed.onChange([this] { lineMayHaveChanged(); });
  faults_.lineGlitch.onChange([this] { lineMayHaveChanged(); });
  if (config.phy) {
    phy_.emplace(clock, *config.phy, config.timing);
    mii_.attach(config.phyAddress, *phy_);
    phy_->onLinkChange([this](const LinkResult& link) {
      followLink(link);
      raisePhyEvent();
    });
  }
}

void Card::plugInto(net::Jack& end) {
  unplug();
  end.plug(*this);
  end_ = &end;
  controller_.plugInto(end_);
  if (phy_) {
    followLink(phy_->link());
  }
}

void Card::followLink(const LinkResult& link) {
  if (end_ == nullptr || !phy_->onSegment()) {
    return;
  }
  applyLink(*end_, link);
}

void applyLink(net::Jack& end, const LinkResult& link) {
  end.setTransceiverUp(link.up);
  if (link.up) {
    end.setBitRate(link.mode.speed == Speed::Mbit100 ? net::BitRate::Mbit100
                                                     : net::BitRate::Mbit10);
  }
}

void Card::unplug() {
  if (end_ != nullptr) {
    end_->unplug();
    end_ = nullptr;
    controller_.plugInto(nullptr);
  }
}

Card::Port Card::decode(std::uint16_t offset) {
  if (offset < kDataPort) {
    return Port::Register;
  }
  if (offset < kResetPort) {
    return Port::Data;
  }
  return offset < kPortCount ? Port::Reset : Port::Outside;
}

bool Card::claimsWordCycle(std::uint16_t offset) const {
  return busWidth_ == BusWidth::Word && decode(offset) == Port::Data;
}

std::optional<CycleWidth> Card::dataPortCyclesOfString16(std::uint16_t offset) const {
  if (claimsWordCycle(offset)) {
    return CycleWidth::Word;
  }
  // Split into byte cycles at the offset and the offset + 1.
  if (decode(offset) == Port::Data &&
      decode(static_cast<std::uint16_t>(offset + 1)) == Port::Data) {
    return CycleWidth::Byte;
  }
  return std::nullopt;
}

bool Card::isVendorOffset(std::uint16_t offset) const {
  const RegisterInfo& vendor = registerInfo(Register::Vendor);
  return offset == vendor.offset && controller_.page() == vendor.page;
}

bool Card::reached() {
  if (faults_.lineGlitch) {
    faults_.lineGlitch = false;
  }
  return !faults_.removed;
}

std::uint8_t Card::read8(std::uint16_t offset) {
  const AccessEnd end(*this);
  if (!reached()) {
    return kFloating;
  }
  switch (decode(offset)) {
    case Port::Register:
      takeVendorArming();
      if (isVendorOffset(offset)) {
        vendorWriteArmed_ = true;
        return vendor_.read();
      }
      return controller_.readRegister(static_cast<std::uint8_t>(offset));
    case Port::Data: {
      takeVendorArming();
      std::uint8_t byte = 0;
      controller_.readData(std::span<std::uint8_t>(&byte, 1), CycleWidth::Byte);
      return byte;
    }
    case Port::Reset:
      takeVendorArming();
      controller_.reset();
      return kResetPortValue;
    case Port::Outside:
      break;
  }
  return kFloating;
}

void Card::write8(std::uint16_t offset, std::uint8_t value) {
  const AccessEnd end(*this);
  if (!reached()) {
    return;
  }
  switch (decode(offset)) {
    case Port::Register:
      if (takeVendorArming() && offset == registerInfo(Register::Vendor).offset) {
        vendor_.write(value);
      } else {
        controller_.writeRegister(static_cast<std::uint8_t>(offset), value);
      }
      break;
    case Port::Data:
      takeVendorArming();
      controller_.writeData(std::span<const std::uint8_t>(&value, 1), CycleWidth::Byte);
      break;
    case Port::Reset:
      takeVendorArming();
      controller_.reset();
      break;
    case Port::Outside:
      break;
  }
}

// A word cycle the card does not claim reaches it as two byte cycles, at the
// offset and the offset + 1. The second is the bus's doing rather than a
// register the host addressed (the driver settles a remote read with word
// reads at the command port), so it is not held to the register rules.
std::uint16_t Card::read16(std::uint16_t offset) {
  const AccessEnd end(*this);
  if (!claimsWordCycle(offset) || !reached()) {
    const std::uint8_t low = read8(offset);
    controller_.holdToRules(false);
    const std::uint8_t high = read8(static_cast<std::uint16_t>(offset + 1));
    controller_.holdToRules(true);
    return makeWord(low, high);
  }
  takeVendorArming();
  std::array<std::uint8_t, 2> word{};
  controller_.readData(word, CycleWidth::Word);
  return wordAt(word);
}

void Card::write16(std::uint16_t offset, std::uint16_t value) {
  const AccessEnd end(*this);
  if (!claimsWordCycle(offset) || !reached()) {
    write8(offset, lowByte(value));
    controller_.holdToRules(false);
    write8(static_cast<std::uint16_t>(offset + 1), highByte(value));
    controller_.holdToRules(true);
    return;
  }
  takeVendorArming();
  const std::array<std::uint8_t, 2> word = {lowByte(value), highByte(value)};
  controller_.writeData(word, CycleWidth::Word);
}

void Card::readString8(std::uint16_t offset, std::span<std::uint8_t> bytes) {
  const AccessEnd end(*this);
  if (bytes.empty() || decode(offset) != Port::Data || !reached()) {
    IoDevice::readString8(offset, bytes);
    return;
  }
  takeVendorArming();
  controller_.readData(bytes, CycleWidth::Byte);
}

void Card::writeString8(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  const AccessEnd end(*this);
  if (bytes.empty() || decode(offset) != Port::Data || !reached()) {
    IoDevice::writeString8(offset, bytes);
    return;
  }
  takeVendorArming();
  controller_.writeData(bytes, CycleWidth::Byte);
}

// A trailing odd byte is no cycle: it is left as it was, as the bus leaves it.
void Card::readString16(std::uint16_t offset, std::span<std::uint8_t> bytes) {
  const AccessEnd end(*this);
  const auto words = bytes.first(bytes.size() & ~std::size_t{1});
  const std::optional<CycleWidth> cycles = dataPortCyclesOfString16(offset);
  if (words.empty() || !cycles || !reached()) {
    IoDevice::readString16(offset, bytes);
    return;
  }
  takeVendorArming();
  controller_.readData(words, *cycles);
}

void Card::writeString16(std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  const AccessEnd end(*this);
  const auto words = bytes.first(bytes.size() & ~std::size_t{1});
  const std::optional<CycleWidth> cycles = dataPortCyclesOfString16(offset);
  if (words.empty() || !cycles || !reached()) {
    IoDevice::writeString16(offset, bytes);
    return;
  }
  takeVendorArming();
  controller_.writeData(words, *cycles);
}

std::string_view Card::registerName(std::uint16_t offset, Direction direction) const {
  switch (decode(offset)) {
    case Port::Register:
      if (isVendorOffset(offset) && (direction == Direction::Read || vendorWriteArmed_)) {
        return registerInfo(Register::Vendor).name;
      }
      return controller_.registerName(static_cast<std::uint8_t>(offset), direction);
    case Port::Data:
      return "DATA";
    case Port::Reset:
      return "RESET";
    case Port::Outside:
      break;
  }
  return {};
}

bool Card::interruptAsserted() const {
  if (faults_.removed) {
    return false;
  }
  if (faults_.lineGlitch) {
    return true;
  }
  return vendor_.interruptOutputEnabled() &&
         (controller_.interruptPending() || vendor_.phyEventPending());
}

void Card::lineMayHaveChanged() {
  const bool high = interruptAsserted();
  if (high != lineHigh_) {
    lineHigh_ = high;
    announce();
  }
}

}  // namespace kl::sim::card
