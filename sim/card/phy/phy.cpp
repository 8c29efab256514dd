#include "sim/card/phy/phy.h"

#include <utility>

namespace kl::sim::card {

namespace {

constexpr std::uint16_t kSelfClearing = mii::kBmcrReset | mii::kBmcrRestart;
constexpr std::uint16_t kUnanswered = 0x0000;  // registers the part does not have
// Mixed into the machine's seed for the part's draws.
constexpr std::uint64_t kTimingSalt = 0x22;

std::uint16_t high(std::uint32_t id) { return static_cast<std::uint16_t>(id >> 16); }
std::uint16_t low(std::uint32_t id) { return static_cast<std::uint16_t>(id); }

}  // namespace

Phy::Phy(Clock& clock, PhyConfig config, const TimingSetup& timing)
    : clock_(clock), config_(std::move(config)), timing_(timing, kTimingSalt) {
  reset(Timing::PhyPowerUp);
}

void Phy::reset(Timing duration) {
  bmcr_ = config_.bmcrAtReset & ~kSelfClearing;
  anar_ = config_.anarAtReset;
  setup_ = 0;
  inReset_ = true;
  signalChanged(true);
  clock_.scheduleIn(timing_(duration), liveness_.guard([this] {
    inReset_ = false;
    signalChanged(true);
  }));
}

std::uint16_t Phy::bmsr() const {
  std::uint16_t value =
      mii::kBmsrAbilities | mii::kBmsrAutoNegotiationAbility | mii::kBmsrExtendedCapability;
  if (link().up && !linkLatchedLow_) {
    value |= mii::kBmsrLinkStatus;
  }
  if (link().up && negotiates()) {
    value |= mii::kBmsrAutoNegotiationComplete;
  }
  return value;
}

std::uint16_t Phy::readRegister(std::uint8_t reg) {
  switch (reg) {
    case mii::kBmcr:
      return inReset_ ? static_cast<std::uint16_t>(bmcr_ | mii::kBmcrReset) : bmcr_;
    case mii::kBmsr: {
      const std::uint16_t value = bmsr();
      linkLatchedLow_ = false;
      return value;
    }
    case mii::kPhyId1:
      return high(config_.model.id);
    case mii::kPhyId2:
      return low(config_.model.id);
    case mii::kAnar:
      return anar_;
    case mii::kAnlpar:
      return link().partnerNegotiated ? link().partnerAbility : 0;
    case mii::kAner:
      return link().partnerNegotiated ? mii::kAnerPartnerNegotiates : 0;
    default:
      break;
  }
  if (reg == config_.model.statusRegister && config_.model.status) {
    return config_.model.status(link());
  }
  if (reg == config_.model.setupRegister) {
    return setup_;
  }
  return kUnanswered;
}

void Phy::writeRegister(std::uint8_t reg, std::uint16_t value) {
  if (reg == mii::kBmcr) {
    if (inReset_) {
      return;
    }
    if ((value & mii::kBmcrReset) != 0) {
      reset(Timing::PhyReset);
      return;
    }
    const bool wasNegotiating = negotiates();
    bmcr_ = value & ~kSelfClearing;
    const bool restart = negotiates() && (!wasNegotiating || (value & mii::kBmcrRestart) != 0);
    signalChanged(restart);
  } else if (reg == mii::kAnar) {
    // Taken at the next negotiation; the link as it runs is kept.
    anar_ = static_cast<std::uint16_t>((value & ~config_.anarReadOnly) |
                                       (config_.anarAtReset & config_.anarReadOnly));
  } else if (reg == config_.model.setupRegister) {
    setup_ = value;
  }
}

LinkSignal Phy::signal() const {
  if (inReset_) {
    return LinkSignal::none();
  }
  if (negotiates()) {
    return LinkSignal::negotiating(anar_);
  }
  return LinkSignal::forcedTo(
      LinkMode{(bmcr_ & mii::kBmcrSpeed100) != 0 ? Speed::Mbit100 : Speed::Mbit10,
               (bmcr_ & mii::kBmcrFullDuplex) != 0 ? Duplex::Full : Duplex::Half});
}

void Phy::linkChanged(const LinkResult& result) {
  if (!result.up) {
    linkLatchedLow_ = true;
  }
  if (listener_) {
    listener_(result);
  }
}

}  // namespace kl::sim::card
