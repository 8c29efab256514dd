// The MII management bus behind MIIMR: decodes the host's MDC/MDIO
// bit-banging into IEEE 802.3 clause 22 frames, on MDC's rising edges, and
// lets the addressed device answer reads.
//
// A frame is at least 32 preamble ones, start (0 1), opcode (0 1 write,
// 1 0 read), five address and five register bits, two turnaround bits and
// 16 data bits, most significant bit first. A device drives MDIO only in a
// read it is addressed by: released in the first turnaround bit, 0 in the
// second, then the data, each bit put out after a rising edge and held until
// the next; it lets go after the last data bit. A frame with too short a
// preamble, a bad start or opcode, or an address nobody answers is ignored
// as a PHY ignores it: nothing is read or written, and the decoder looks for
// the next preamble. Where nothing drives MDIO it floats to the level the
// board's resistor gives it.
#pragma once

#include <array>
#include <cstdint>

#include "sim/card/mii_port.h"
#include "sim/card/phy/mii_device.h"

namespace kl::sim::card {

enum class MdioLevel : std::uint8_t { Low, High };

// The management lines as they stand after a write of MIIMR. Out of reset
// MIIMR is 0: MDC low, the host driving MDIO low.
struct MiiLines {
  bool mdc = false;
  bool hostDrives = true;  // the host drives MDIO (MIIMR bit 2 clear)
  bool hostLevel = false;
  bool deviceDrives = false;  // the addressed device drives MDIO
  bool deviceLevel = false;
  bool mdio = false;  // the line: the host's level, else the device's, else floating
};

// A frame as a bus analyser reads it.
struct MiiFrame {
  enum class Op : std::uint8_t { Read, Write };
  Op op = Op::Read;
  std::uint8_t phyAddress = 0;
  std::uint8_t reg = 0;
  std::uint16_t data = 0;  // written, or as the line showed it in a read
  bool answered = false;   // a device has the address
};

// Something watching the bus: a trace writer, a test.
class MiiObserver {
 public:
  MiiObserver() = default;
  MiiObserver(const MiiObserver&) = delete;
  MiiObserver& operator=(const MiiObserver&) = delete;
  virtual ~MiiObserver() = default;

  virtual void linesChanged(const MiiLines& /*lines*/) {}
  virtual void frameDecoded(const MiiFrame& /*frame*/) {}
};

class MiiBus final : public MiiPort {
 public:
  static constexpr std::uint8_t kAddressCount = 32;
  static constexpr unsigned kMinPreamble = 32;

  explicit MiiBus(MdioLevel floating = MdioLevel::High) : floating_(floating) { updateLine(); }

  // Puts `device` at `address` (0-31). Throws std::invalid_argument for an
  // address out of range or taken.
  void attach(std::uint8_t address, MiiDevice& device);
  void detach(std::uint8_t address);

  void setFloatingLevel(MdioLevel level);
  void setObserver(MiiObserver* observer) { observer_ = observer; }

  void drive(std::uint8_t miimr) override;
  [[nodiscard]] bool mdio() const override { return lines_.mdio; }
  [[nodiscard]] const MiiLines& lines() const { return lines_; }

 private:
  enum class Phase : std::uint8_t { Preamble, Start, Opcode, Address, Register, Turnaround, Data };

  void risingEdge(bool bit);
  // Shifts `bit` into the field being read; true once `width` bits are in.
  bool shiftIn(bool bit, unsigned width);
  void fieldsComplete();
  void turnaround();
  void dataBit(bool bit);
  void finish();
  void abandon();
  void deviceOutput(bool drives, bool level = false);
  void updateLine();

  MdioLevel floating_;
  std::array<MiiDevice*, kAddressCount> devices_{};
  MiiObserver* observer_ = nullptr;
  MiiLines lines_{};

  Phase phase_ = Phase::Preamble;
  unsigned ones_ = 0;
  unsigned bits_ = 0;
  std::uint16_t shift_ = 0;
  MiiFrame frame_{};
  MiiDevice* target_ = nullptr;
  std::uint16_t reply_ = 0;
};

}  // namespace kl::sim::card
