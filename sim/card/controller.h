// The network controller: the DP8390 register set with its page select,
// interrupt status, remote-DMA channel, transmitter, receiver, tally counters
// and MII management register.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "sim/bus/io_device.h"
#include "sim/card/card_faults.h"
#include "sim/card/card_memory.h"
#include "sim/card/mii_port.h"
#include "sim/card/receive_engine.h"
#include "sim/card/registers.h"
#include "sim/card/remote_dma.h"
#include "sim/card/tally_counters.h"
#include "sim/card/transmit_engine.h"
#include "sim/core/clock.h"
#include "sim/net/cable.h"
#include "sim/net/station.h"

namespace kl::sim::card {

class Controller {
 public:
  Controller(Clock& clock, CardMemory& memory, CardFaults& faults);
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // The 16-register window, offsets 0x00-0x0F of the page selected in CR.
  //
  // Page 0 reads of the write-only registers (PSTART, PSTOP, TBCR0/1, RBCR0/1,
  // RCR) return 0x00 and change nothing. Pages 2 and 3 hold nothing here but
  // CR and MIIMR (page 3, offset 0x03): their other offsets read 0xFF and
  // drop writes.
  [[nodiscard]] std::uint8_t readRegister(std::uint8_t offset);
  void writeRegister(std::uint8_t offset, std::uint8_t value);
  [[nodiscard]] std::string_view registerName(std::uint8_t offset, Direction direction) const;

  // Data-port cycles through the remote-DMA channel (see RemoteDma). A cycle
  // that runs the byte count out sets RDC.
  void readData(std::span<std::uint8_t> bytes, CycleWidth cycle);
  void writeData(std::span<const std::uint8_t> bytes, CycleWidth cycle);

  // A hardware reset: stopped, CR 0x21, IMR 0, remote DMA idle. The other
  // registers keep their contents.
  void reset();

  // The wire. Frames go to `end` (none: the card is on no cable) and come
  // in through frameArrived; the receiver takes them only while the
  // controller runs with TCR's loopback field clear.
  void plugInto(net::Cable::End* end) { transmitter_.plugInto(end); }
  void frameArrived(const net::WireFrame& frame);
  [[nodiscard]] const TransmitEngine& transmitter() const { return transmitter_; }
  [[nodiscard]] const ReceiveEngine& receiver() const { return receiver_; }

  // The MII management lines. With nothing attached, MDIO floats high.
  void attachMiiPort(MiiPort* port) { miiPort_ = port; }

  // The controller's state, for the rest of the card and for tests.
  [[nodiscard]] std::uint8_t page() const { return cr_ >> reg::kCrPageShift; }
  [[nodiscard]] bool stopped() const { return stopped_; }
  [[nodiscard]] std::uint8_t pstart() const { return pstart_; }
  [[nodiscard]] std::uint8_t pstop() const { return pstop_; }
  [[nodiscard]] std::uint8_t bnry() const { return bnry_; }
  [[nodiscard]] std::uint8_t curr() const { return curr_; }
  void setCurr(std::uint8_t page) { curr_ = page; }
  [[nodiscard]] std::uint8_t tpsr() const { return tpsr_; }
  [[nodiscard]] std::uint16_t transmitByteCount() const { return tbcr_; }
  void setTsr(std::uint8_t value) { tsr_ = value; }
  [[nodiscard]] std::uint8_t rcr() const { return rcr_; }
  [[nodiscard]] std::uint8_t tcr() const { return tcr_; }
  [[nodiscard]] std::uint8_t dcr() const { return dcr_; }
  [[nodiscard]] std::uint8_t imr() const { return imr_; }
  [[nodiscard]] const std::array<std::uint8_t, 6>& stationAddress() const { return par_; }
  [[nodiscard]] const std::array<std::uint8_t, 8>& multicastFilter() const { return mar_; }
  [[nodiscard]] std::uint8_t miimr() const { return miimr_; }  // as last written
  [[nodiscard]] const RemoteDma& remoteDma() const { return dma_; }

  // ISR as the host reads it. RST shows the stopped state; CNT shows while a
  // tally counter is at half range, and also stays latched from the moment a
  // counter got there until the host acknowledges it, so neither reading the
  // counters first nor acknowledging first can make it go unseen.
  [[nodiscard]] std::uint8_t isr() const;
  // Latches status bits (RST excepted: it follows the stopped state).
  void setIsrBits(std::uint8_t mask) { isrLatched_ |= mask & ~reg::kIsrRst; }
  // The controller wants to interrupt: a status bit that IMR enables is set.
  // The line is looked at after every port access, so the bits that follow
  // the controller's state (RST, CNT) are worked out only when IMR enables
  // them.
  [[nodiscard]] bool interruptPending() const {
    constexpr std::uint8_t kDerived = reg::kIsrRst | reg::kIsrCnt;
    return (isrLatched_ & imr_) != 0 || ((imr_ & kDerived) != 0 && (isr() & imr_) != 0);
  }

  void addTallyCounts(Tally tally, unsigned events);

 private:
  // CR as the host reads it back.
  [[nodiscard]] std::uint8_t readCommand() const;
  [[nodiscard]] std::uint8_t readPage0(std::uint8_t offset);
  void writePage0(std::uint8_t offset, std::uint8_t value);
  [[nodiscard]] std::uint8_t readPage1(std::uint8_t offset) const;
  void writePage1(std::uint8_t offset, std::uint8_t value);
  [[nodiscard]] std::uint8_t readMiimr() const;
  void writeMiimr(std::uint8_t value);

  // A CR write: page select and run state, then the remote-DMA command,
  // then TXP. TXP reads back set while a transmission is under way.
  void command(std::uint8_t value);
  void applyRunState(std::uint8_t value);
  void enterStoppedState();
  void transmitted(const TransmitEngine::Outcome& outcome);
  void applyRemoteDmaCommand(std::uint8_t rd);

  [[nodiscard]] bool wordTransfers() const { return (dcr_ & reg::kDcrWts) != 0; }
  [[nodiscard]] RingBounds ring() const { return RingBounds{pstart_, pstop_}; }

  const CardFaults& faults_;
  RemoteDma dma_;
  TransmitEngine transmitter_;
  ReceiveEngine receiver_;
  TallyCounters tallies_;
  MiiPort* miiPort_ = nullptr;

  std::uint8_t cr_ = reg::kCrAfterReset;
  bool stopped_ = true;
  std::uint8_t isrLatched_ = 0;
  std::uint8_t imr_ = 0;
  std::uint8_t pstart_ = 0;
  std::uint8_t pstop_ = 0;
  std::uint8_t bnry_ = 0;
  std::uint8_t tpsr_ = 0;
  std::uint16_t tbcr_ = 0;
  std::uint8_t tsr_ = 0;
  std::uint8_t rcr_ = 0;
  std::uint8_t rsr_ = 0;
  std::uint8_t tcr_ = 0;
  std::uint8_t dcr_ = 0;
  std::array<std::uint8_t, 6> par_{};
  std::uint8_t curr_ = 0;
  std::array<std::uint8_t, 8> mar_{};
  // The MAC comes up at full duplex, until the host says otherwise.
  std::uint8_t miimr_ = reg::kMiimrFullDuplex;
};

}  // namespace kl::sim::card
