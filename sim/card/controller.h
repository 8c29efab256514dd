// The network controller: the DP8390 register set with its page select,
// interrupt status, remote-DMA channel, transmitter, receiver, tally counters
// and MII management register.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "sim/bus/io_device.h"
#include "sim/card/card_faults.h"
#include "sim/card/card_memory.h"
#include "sim/card/mii_port.h"
#include "sim/card/receive_engine.h"
#include "sim/card/registers.h"
#include "sim/card/remote_dma.h"
#include "sim/card/tally_counters.h"
#include "sim/card/timing.h"
#include "sim/card/transmit_engine.h"
#include "sim/core/clock.h"
#include "sim/core/liveness.h"
#include "sim/net/jack.h"
#include "sim/net/station.h"

namespace kl::sim::card {

class Controller {
 public:
  // The controller's own times (reset, stop, remote-DMA completion,
  // transmit start) are those of `timing`.
  Controller(Clock& clock, CardMemory& memory, CardFaults& faults, const TimingSetup& timing = {});
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // The 16-register window, offsets 0x00-0x0F of the page selected in CR,
  // decoded by the register table. An access that reaches no register is a
  // broken rule: a read of a write-only register returns 0x00, any other
  // read 0xFF, and a write changes nothing.
  [[nodiscard]] std::uint8_t readRegister(std::uint8_t offset);
  void writeRegister(std::uint8_t offset, std::uint8_t value);
  [[nodiscard]] std::string_view registerName(std::uint8_t offset, Direction direction) const;
  // Where a broken rule goes; none: nowhere. While not held to the rules,
  // an access that reaches no register goes unreported.
  void onBrokenRule(std::function<void(const std::string&)> report) {
    brokenRule_ = std::move(report);
  }
  void holdToRules(bool held) { heldToRules_ = held; }

  // Data-port cycles through the remote-DMA channel (see RemoteDma). A cycle
  // that runs the byte count out sets RDC: at once in a read, once the last
  // word is in card memory in a write.
  void readData(std::span<std::uint8_t> bytes, CycleWidth cycle);
  void writeData(std::span<const std::uint8_t> bytes, CycleWidth cycle);

  // A hardware reset: stopped in the reset state, CR 0x21, IMR 0, remote DMA
  // idle with no count left. The other registers keep their contents.
  void reset();

  // The wire. Frames go to `end` (none: the card is on no cable) and come
  // in through frameArrived; the receiver takes them only while the
  // controller runs with TCR's loopback field clear.
  void plugInto(net::Jack* end) { transmitter_.plugInto(end); }
  void frameArrived(const net::WireFrame& frame);
  [[nodiscard]] const TransmitEngine& transmitter() const { return transmitter_; }
  [[nodiscard]] const ReceiveEngine& receiver() const { return receiver_; }

  // The MII management lines. With nothing attached, MDIO floats high.
  void attachMiiPort(MiiPort* port) { miiPort_ = port; }

  // The controller's state, for the rest of the card and for tests.
  [[nodiscard]] std::uint8_t page() const { return held(Register::Cr) >> reg::kCrPageShift; }
  [[nodiscard]] bool stopped() const { return stopped_; }
  [[nodiscard]] std::uint8_t pstart() const { return held(Register::Pstart); }
  [[nodiscard]] std::uint8_t pstop() const { return held(Register::Pstop); }
  [[nodiscard]] std::uint8_t bnry() const { return held(Register::Bnry); }
  [[nodiscard]] std::uint8_t curr() const { return held(Register::Curr); }
  void setCurr(std::uint8_t page) { hold(Register::Curr) = page; }
  [[nodiscard]] std::uint8_t tpsr() const { return held(Register::Tpsr); }
  [[nodiscard]] std::uint16_t transmitByteCount() const {
    return static_cast<std::uint16_t>(held(Register::Tbcr1) << 8 | held(Register::Tbcr0));
  }
  void setTsr(std::uint8_t value) { hold(Register::Tsr) = value; }
  [[nodiscard]] std::uint8_t rcr() const { return held(Register::Rcr); }
  [[nodiscard]] std::uint8_t tcr() const { return held(Register::Tcr); }
  [[nodiscard]] std::uint8_t dcr() const { return held(Register::Dcr); }
  [[nodiscard]] std::uint8_t imr() const { return held(Register::Imr); }
  [[nodiscard]] std::array<std::uint8_t, 6> stationAddress() const {
    return heldRun<6>(Register::Par0);
  }
  [[nodiscard]] std::array<std::uint8_t, 8> multicastFilter() const {
    return heldRun<8>(Register::Mar0);
  }
  // As written, but for MDIO in, which is read from the line.
  [[nodiscard]] std::uint8_t miimr() const { return held(Register::Miimr); }
  [[nodiscard]] const RemoteDma& remoteDma() const { return dma_; }
  // Frames that reached the controller from the wire and were not stored:
  // heard while it was stopped or looped back, or refused for want of room.
  [[nodiscard]] std::uint64_t framesNotStored() const { return framesNotStored_; }
  // A tally counter's count, without the clearing a read of it makes.
  [[nodiscard]] std::uint8_t tallyCount(Tally tally) const { return tallies_.count(tally); }

  // ISR as the host reads it. RST shows the reset state once the controller
  // has entered it, some time after the stop or reset; CNT shows while a
  // tally counter is at half range, and also stays latched from the moment a
  // counter got there until the host acknowledges it, so neither reading the
  // counters first nor acknowledging first can make it go unseen.
  [[nodiscard]] std::uint8_t isr() const;
  // Latches status bits (RST excepted: it follows the reset state).
  void setIsrBits(std::uint8_t mask) {
    hold(Register::Isr) |= mask & ~reg::kIsrRst;
    if (statusLatched_) {
      statusLatched_();
    }
  }
  // Called whenever status bits are latched, from the host's side or the
  // wire's: the interrupt line driven from them may rise.
  void onStatusLatched(std::function<void()> latched) { statusLatched_ = std::move(latched); }
  // The controller wants to interrupt: a status bit that IMR enables is set.
  // The card works its line out after every port access, so the bits that
  // follow the controller's state (RST, CNT) are worked out only when IMR
  // enables them.
  [[nodiscard]] bool interruptPending() const {
    constexpr std::uint8_t kDerived = reg::kIsrRst | reg::kIsrCnt;
    const std::uint8_t imr = held(Register::Imr);
    return (held(Register::Isr) & imr) != 0 || ((imr & kDerived) != 0 && (isr() & imr) != 0);
  }

  void addTallyCounts(Tally tally, unsigned events);

 private:
  // What the registers hold, in the table's order. Registers whose value
  // lives elsewhere (the remote-DMA channel's, the tally counters, the
  // vendor register) leave their place unused.
  using RegisterFile = std::array<std::uint8_t, kRegisterCount>;
  static RegisterFile powerUpValues();
  [[nodiscard]] std::uint8_t held(Register id) const {
    return registers_[static_cast<std::size_t>(id)];
  }
  std::uint8_t& hold(Register id) { return registers_[static_cast<std::size_t>(id)]; }
  template <std::size_t N>
  [[nodiscard]] std::array<std::uint8_t, N> heldRun(Register first) const {
    std::array<std::uint8_t, N> run{};
    for (std::size_t i = 0; i < N; ++i) {
      run[i] = registers_[static_cast<std::size_t>(first) + i];
    }
    return run;
  }

  // A read or write of a register, with what it does beyond holding a value.
  [[nodiscard]] std::uint8_t read(Register id);
  void write(const RegisterInfo& info, std::uint8_t value);
  // An access that reaches no register: reported, and what the bus reads.
  std::uint8_t noRegister(std::uint8_t offset, Direction direction);
  // CR as the host reads it back.
  [[nodiscard]] std::uint8_t readCommand() const;
  [[nodiscard]] std::uint8_t readMiimr() const;

  // A CR write: page select and run state, then the remote-DMA command,
  // then TXP. TXP reads back set while a transmission is under way.
  void command(std::uint8_t value);
  void applyRunState(std::uint8_t value);
  // Stops at once; the reset state follows after `entry`, once no remote-DMA
  // bytes are left to move.
  void enterStoppedState(Timing entry);
  void enterResetStateWhenIdle();
  void remoteWriteComplete();
  void transmitted(const TransmitEngine::Outcome& outcome);
  void applyRemoteDmaCommand(std::uint8_t rd);

  [[nodiscard]] bool wordTransfers() const { return (dcr() & reg::kDcrWts) != 0; }
  [[nodiscard]] RingBounds ring() const { return RingBounds{pstart(), pstop()}; }

  Clock& clock_;
  const CardFaults& faults_;
  TimingSource timing_;
  RemoteDma dma_;
  TransmitEngine transmitter_;
  ReceiveEngine receiver_;
  TallyCounters tallies_;
  MiiPort* miiPort_ = nullptr;

  RegisterFile registers_ = powerUpValues();
  bool stopped_ = true;
  VirtualTime resetStateFrom_{};  // when RST may show in the reset state
  bool inResetState_ = true;      // stopped, with nothing left to move
  std::uint64_t framesNotStored_ = 0;
  std::function<void(const std::string&)> brokenRule_;
  std::function<void()> statusLatched_;
  bool heldToRules_ = true;
  Liveness liveness_;
};

}  // namespace kl::sim::card
