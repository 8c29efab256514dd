// The VELMORAN KL7046 card as the I/O bus sees it: 32 ports over the
// controller's registers, the data port and the reset port, the vendor
// register, and the card's interrupt line; and as a cable sees it, a station
// that sends and receives frames on the world's virtual clock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "sim/bus/io_device.h"
#include "sim/card/card_faults.h"
#include "sim/card/card_memory.h"
#include "sim/card/controller.h"
#include "sim/card/phy/mii_bus.h"
#include "sim/card/phy/phy.h"
#include "sim/card/station_prom.h"
#include "sim/card/timing.h"
#include "sim/card/vendor_register.h"
#include "sim/core/clock.h"
#include "sim/net/jack.h"
#include "sim/net/station.h"

namespace kl::sim::card {

// The width of the card's data path on the host bus.
enum class BusWidth : std::uint8_t { Byte, Word };

struct CardConfig {
  BusWidth busWidth = BusWidth::Word;
  MemoryPlacement memory{};
  PromImage prom = erasedPromImage();
  // The PHY on the card's management bus, and its MII address; none: a card
  // on which no PHY answers.
  std::optional<PhyConfig> phy = PhyConfig{};
  std::uint8_t phyAddress = 1;
  // Where MDIO floats when nothing drives it.
  MdioLevel mdioFloating = MdioLevel::High;
  // The times the card keeps, and the twisted pair it is cabled with.
  TimingSetup timing{};
};

// Sets `end` as a transceiver with `link` drives it: signalling only while
// the link is up, at the speed it resolved to.
void applyLink(net::Jack& end, const LinkResult& link);

// Port decode, by offset from the card's I/O base:
//   0x00-0x0F  the controller's registers of the selected page
//   0x10-0x17  the data port
//   0x18-0x1F  the reset port
// Above 0x0F the card looks only at A3, so each port answers at eight offsets.
//
// Offset 0x0B of page 0 is shared by RBCR1 and the vendor register. A read
// there reads the vendor register and arms a vendor write; the very next
// access to the card, if it is a write of 0x0B, goes to the vendor register.
// Any other write of 0x0B on page 0 is RBCR1.
//
// A word-wide card takes 16-bit cycles on the data port as one data-port
// access; the bus splits every other 16-bit cycle, and every 16-bit cycle on
// a byte-wide card, into two byte cycles at the offset and the offset + 1.
class Card final : public IoDevice, public InterruptSource, public net::Station {
 public:
  static constexpr std::uint16_t kPortCount = 32;
  // What a read of the reset port returns.
  static constexpr std::uint8_t kResetPortValue = 0x00;

  // The card's transmitter times its frames on `clock`.
  explicit Card(Clock& clock, const CardConfig& config = {});
  ~Card() override { unplug(); }

  // The card's jack: frames it sends go out at `end`, frames arriving there
  // reach its receiver. While the card's PHY is on a twisted-pair segment,
  // its link decides whether the end signals and at what bit rate; plug the
  // PHY into its segment first.
  void plugInto(net::Jack& end);
  void unplug();
  void frameArrived(const net::WireFrame& frame) override {
    if (!faults_.removed) {
      controller_.frameArrived(frame);
    }
  }

  std::uint8_t read8(std::uint16_t offset) override;
  void write8(std::uint16_t offset, std::uint8_t value) override;
  std::uint16_t read16(std::uint16_t offset) override;
  void write16(std::uint16_t offset, std::uint16_t value) override;
  void readString8(std::uint16_t offset, std::span<std::uint8_t> bytes) override;
  void writeString8(std::uint16_t offset, std::span<const std::uint8_t> bytes) override;
  void readString16(std::uint16_t offset, std::span<std::uint8_t> bytes) override;
  void writeString16(std::uint16_t offset, std::span<const std::uint8_t> bytes) override;
  // The register the access about to be made at `offset` reaches.
  [[nodiscard]] std::string_view registerName(std::uint16_t offset,
                                              Direction direction) const override;

  // The card's interrupt line: the vendor register's output enable, and
  // either a status bit that IMR enables or a pending PHY event. It is
  // worked out again after every port access and every status latched, and
  // announced when it changes. Nothing moves it with time alone: IMR has no
  // bit for RST, the one status that shows some time after its cause.
  [[nodiscard]] bool interruptAsserted() const override;

  // The PHY reports a change of link state.
  void raisePhyEvent() {
    vendor_.raisePhyEvent();
    lineMayHaveChanged();
  }

  // Where the card reports an access by the host that reaches no register
  // (see Controller); none: nowhere.
  void onBrokenRule(std::function<void(const std::string&)> report) {
    controller_.onBrokenRule(std::move(report));
  }

  [[nodiscard]] Controller& controller() { return controller_; }
  [[nodiscard]] const Controller& controller() const { return controller_; }
  [[nodiscard]] CardMemory& memory() { return memory_; }
  [[nodiscard]] const CardMemory& memory() const { return memory_; }
  [[nodiscard]] const VendorRegister& vendor() const { return vendor_; }
  [[nodiscard]] CardFaults& faults() { return faults_; }
  [[nodiscard]] MiiBus& mii() { return mii_; }
  // The card's PHY, which a LinkSegment joins to its partner; null on a card
  // built without one.
  [[nodiscard]] Phy* phy() { return phy_ ? &*phy_ : nullptr; }
  [[nodiscard]] const TimingSetup& timing() const { return timing_; }

 private:
  enum class Port : std::uint8_t { Register, Data, Reset, Outside };
  // Works the interrupt line out again once the port access it is made for
  // is over.
  class AccessEnd {
   public:
    explicit AccessEnd(Card& card) : card_(card) {}
    AccessEnd(const AccessEnd&) = delete;
    AccessEnd& operator=(const AccessEnd&) = delete;
    ~AccessEnd() { card_.lineMayHaveChanged(); }

   private:
    Card& card_;
  };

  [[nodiscard]] static Port decode(std::uint16_t offset);
  // Whether a 16-bit cycle at `offset` moves through the data port as one
  // access.
  [[nodiscard]] bool claimsWordCycle(std::uint16_t offset) const;
  // The data-port cycles a 16-bit string at `offset` makes, when every cycle
  // of it reaches the data port.
  [[nodiscard]] std::optional<CycleWidth> dataPortCyclesOfString16(std::uint16_t offset) const;
  [[nodiscard]] bool isVendorOffset(std::uint16_t offset) const;
  // The PHY's link outcome, as the cable end sees it.
  void followLink(const LinkResult& link);
  // Whether an access reaches the card, which it does unless the card is out
  // of its socket; any access ends a glitch on the interrupt line.
  bool reached();
  // Every access to the card disarms the vendor write; returns whether the
  // access before armed it.
  bool takeVendorArming() { return std::exchange(vendorWriteArmed_, false); }
  // After anything that may move the interrupt line: announced when its
  // level changed.
  void lineMayHaveChanged();

  BusWidth busWidth_;
  TimingSetup timing_;
  CardFaults faults_;
  CardMemory memory_;
  Controller controller_;
  VendorRegister vendor_;
  bool vendorWriteArmed_ = false;
  bool lineHigh_ = false;  // the level last worked out
  MiiBus mii_;
  std::optional<Phy> phy_;
  net::Jack* end_ = nullptr;
};

}  // namespace kl::sim::card
