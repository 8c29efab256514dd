// Faults a test can inject into a card, to see the driver cope with hardware
// that misbehaves.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

namespace kl::sim::card {

// A fault that changes what the card drives on its interrupt line. The card
// announces its line's changes rather than being read at every step, so
// setting the fault tells it. A copy takes the setting, not whom to tell.
class LineFault {
 public:
  LineFault() = default;
  LineFault(bool on) : on_(on) {}  // NOLINT(google-explicit-constructor): set as a bool
  LineFault(const LineFault& other) : on_(other.on_) {}
  LineFault& operator=(const LineFault& other) { return *this = other.on_; }
  LineFault& operator=(bool on) {
    on_ = on;
    if (changed_) {
      changed_();
    }
    return *this;
  }
  ~LineFault() = default;
  operator bool() const { return on_; }  // NOLINT(google-explicit-constructor): read as a bool

  void onChange(std::function<void()> changed) { changed_ = std::move(changed); }

 private:
  bool on_ = false;
  std::function<void()> changed_;
};

struct CardFaults {
  // The remote-DMA address never advances: data-port transfers all reach the
  // address RSAR loaded, and CRDA keeps reading back that address. The byte
  // count still runs down.
  bool crdaFrozen = false;
  // CR reads back this value whatever was written to it, as a command
  // register stuck at one value or a card that answers with garbage would.
  std::optional<std::uint8_t> crReadBack;
  // The controller never reports the stopped state: STP reads back clear and
  // ISR never shows RST, although the controller does stop.
  bool stoppedStateHidden = false;
  // The controller stops and STP reads back set, but ISR never shows RST.
  bool rstHidden = false;
  // This many transmissions, from the next one on, abort: TSR without PTX,
  // ISR TXE, nothing on the wire. One is a single abort; more make a burst.
  unsigned transmitAborts = 0;
  // This many frames, from the next one stored on, have a byte of their data
  // flipped in packet memory once stored, as failing RAM would do it: the
  // frame was good on the wire, so nothing on the card notices.
  unsigned corruptStoredFrames = 0;
  // A packet-memory cell at this card address whose every bit reads back
  // inverted, as a failed RAM cell's would: whatever is written there, from
  // the host or from the wire, comes back wrong.
  std::optional<std::uint32_t> badCell;
  // This many frames, from the next one on, find the receive ring full, as
  // they would behind a host that is slow to empty it: the receiver
  // overflows (OVW) and stores nothing until it is stopped and started.
  unsigned receiveOverruns = 0;
  // The card is out of its socket: every port reads 0xFF, writes reach
  // nothing, the interrupt line is let go and the receiver hears nothing.
  LineFault removed;
  // A glitch on the interrupt line: it reads asserted, with no cause on the
  // card, until the next port access reaches the card.
  LineFault lineGlitch;
};

}  // namespace kl::sim::card
