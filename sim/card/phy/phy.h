// An IEEE 802.3 clause 22 PHY: the basic control and status registers, the
// identifier, the auto-negotiation registers and the part's vendor registers
// (see PhyModel), and one end of a twisted-pair link.
//
// BMCR: reset (0x8000, self-clearing), speed (0x2000), auto-negotiation
// enable (0x1000), restart (0x0200, self-clearing) and duplex (0x0100); the
// other bits are stored. BMSR: the 10/100 abilities, auto-negotiation
// ability and complete, and link status, which latches low: once the link
// has gone down it reads 0 until BMSR has been read, even if the link is back.
//
// The part comes out of power-up, and out of a reset, after its time in the
// machine's timing: until then it puts nothing on the pair, BMCR reads with
// the reset bit set and writes to BMCR are not taken.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "sim/card/phy/link_segment.h"
#include "sim/card/phy/mii_device.h"
#include "sim/card/phy/phy_model.h"
#include "sim/card/timing.h"
#include "sim/core/clock.h"
#include "sim/core/liveness.h"

namespace kl::sim::card {

namespace mii {
inline constexpr std::uint8_t kBmcr = 0x00;
inline constexpr std::uint8_t kBmsr = 0x01;
inline constexpr std::uint8_t kPhyId1 = 0x02;
inline constexpr std::uint8_t kPhyId2 = 0x03;
inline constexpr std::uint8_t kAnar = 0x04;
inline constexpr std::uint8_t kAnlpar = 0x05;
inline constexpr std::uint8_t kAner = 0x06;

inline constexpr std::uint16_t kBmcrReset = 0x8000;
inline constexpr std::uint16_t kBmcrSpeed100 = 0x2000;
inline constexpr std::uint16_t kBmcrAutoNegotiate = 0x1000;
inline constexpr std::uint16_t kBmcrRestart = 0x0200;
inline constexpr std::uint16_t kBmcrFullDuplex = 0x0100;

inline constexpr std::uint16_t kBmsrAbilities = 0x7800;  // 100FD, 100HD, 10FD, 10HD
inline constexpr std::uint16_t kBmsrAutoNegotiationComplete = 0x0020;
inline constexpr std::uint16_t kBmsrAutoNegotiationAbility = 0x0008;
inline constexpr std::uint16_t kBmsrLinkStatus = 0x0004;
inline constexpr std::uint16_t kBmsrExtendedCapability = 0x0001;

inline constexpr std::uint16_t kAnerPartnerNegotiates = 0x0001;
}  // namespace mii

struct PhyConfig {
  PhyModel model = phy78E1();
  // The BMCR and ANAR the part comes out of reset with (its strapping).
  std::uint16_t bmcrAtReset = mii::kBmcrSpeed100 | mii::kBmcrAutoNegotiate | mii::kBmcrFullDuplex;
  std::uint16_t anarAtReset = ability::kAll | ability::kSelector8023;
  // ANAR bits that read back as the part was strapped, whatever is written.
  std::uint16_t anarReadOnly = 0;
};

class Phy final : public MiiDevice, public LinkEnd {
 public:
  using LinkListener = std::function<void(const LinkResult&)>;

  // Powers up at once on `clock`, and is out of it after its power-up time.
  explicit Phy(Clock& clock, PhyConfig config = {}, const TimingSetup& timing = {});

  std::uint16_t readRegister(std::uint8_t reg) override;
  void writeRegister(std::uint8_t reg, std::uint16_t value) override;

  [[nodiscard]] LinkSignal signal() const override;
  void linkChanged(const LinkResult& result) override;

  // Called at every change of link state, up or down.
  void onLinkChange(LinkListener listener) { listener_ = std::move(listener); }

  [[nodiscard]] const PhyModel& model() const { return config_.model; }
  [[nodiscard]] std::uint16_t bmcr() const { return bmcr_; }
  [[nodiscard]] std::uint16_t anar() const { return anar_; }
  [[nodiscard]] std::uint16_t setupRegister() const { return setup_; }
  [[nodiscard]] bool inReset() const { return inReset_; }

 private:
  // Loads the registers' reset values and holds the part in reset for
  // `duration`.
  void reset(Timing duration);
  [[nodiscard]] std::uint16_t bmsr() const;
  [[nodiscard]] bool negotiates() const { return (bmcr_ & mii::kBmcrAutoNegotiate) != 0; }

  Clock& clock_;
  PhyConfig config_;
  TimingSource timing_;
  bool inReset_ = false;
  std::uint16_t bmcr_ = 0;
  std::uint16_t anar_ = 0;
  std::uint16_t setup_ = 0;
  bool linkLatchedLow_ = false;
  LinkListener listener_;
  Liveness liveness_;
};

}  // namespace kl::sim::card
