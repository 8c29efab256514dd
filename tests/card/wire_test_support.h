// A card on a cable with a test endpoint at the far end, driven through its
// ports on a clock the test runs by hand.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "card_test_support.h"
#include "sim/card/card.h"
#include "sim/core/clock.h"
#include "sim/net/cable.h"
#include "sim/net/ethernet.h"
#include "sim/net/frame_endpoint.h"

namespace kl::sim::card::test {

namespace tcr {
inline constexpr std::uint8_t kNormal = 0x00;
inline constexpr std::uint8_t kInternalLoopback = 0x02;
}  // namespace tcr

namespace rcr {
inline constexpr std::uint8_t kAb = 0x04;
inline constexpr std::uint8_t kAm = 0x08;
inline constexpr std::uint8_t kPro = 0x10;
inline constexpr std::uint8_t kMon = 0x20;
}  // namespace rcr

inline constexpr std::uint8_t kTransmit = 0x26;  // start, transmit, abort remote DMA
inline constexpr std::uint8_t kPage1Stop = 0x61;
inline constexpr std::uint8_t kIsrRxe = 0x04;
inline constexpr std::uint8_t kIsrTxe = 0x08;
inline constexpr std::uint8_t kTsrPtx = 0x01;

inline constexpr MacAddress kStation = {0x02, 0x00, 0x4B, 0x4C, 0x70, 0x46};

// A frame of `length` bytes (no FCS) to `destination`, its payload a
// pattern that starts at `seed`.
inline std::vector<std::uint8_t> frameTo(const MacAddress& destination, std::size_t length,
                                         std::uint8_t seed = 0) {
  std::vector<std::uint8_t> frame(length);
  for (std::size_t i = 0; i < length; ++i) {
    frame[i] = static_cast<std::uint8_t>(seed + i * 7);
  }
  std::copy(destination.begin(), destination.end(), frame.begin());
  return frame;
}

// Receive ring for the tests: pages 0x46 up to 0x80; transmit page 0x40.
inline constexpr std::uint8_t kPstart = 0x46;
inline constexpr std::uint8_t kPstop = 0x80;
inline constexpr std::uint8_t kTxPage = 0x40;

// The controller started as the driver starts it, then put on the wire.
inline void startOnWire(Card& card, std::uint8_t rcrValue = 0,
                        std::uint8_t tcrValue = tcr::kNormal) {
  card.write8(port::CR, cr::kStopAbort);
  card.write8(port::DCR, kDcrWordWide);
  card.write8(port::RCR, rcrValue);
  card.write8(port::TCR, tcr::kInternalLoopback);
  card.write8(port::BNRY, kPstart);
  setRing(card, kPstart, kPstop);
  card.write8(port::ISR, 0xFF);
  card.write8(port::CR, kPage1Stop);
  for (std::uint16_t i = 0; i < kStation.size(); ++i) {
    card.write8(static_cast<std::uint16_t>(port::PAR0 + i), kStation[i]);
  }
  card.write8(port::CURR, kPstart + 1);
  card.write8(port::CR, cr::kStopAbort);
  card.write8(port::CR, cr::kStartAbort);
  card.write8(port::TCR, tcrValue);
}

// Puts `frame` in card memory at `page` and gives TXP.
inline void transmitFrom(Card& card, std::span<const std::uint8_t> frame,
                         std::uint8_t page = kTxPage) {
  card.memory().write(page * 256U, frame);
  card.write8(port::TPSR, page);
  card.write8(port::TBCR0, static_cast<std::uint8_t>(frame.size()));
  card.write8(port::TBCR1, static_cast<std::uint8_t>(frame.size() >> 8));
  card.write8(port::CR, kTransmit);
}

inline std::uint8_t readCurr(Card& card) {
  card.write8(port::CR, cr::kPage1Start);
  const std::uint8_t value = card.read8(port::CURR);
  card.write8(port::CR, cr::kStartAbort);
  return value;
}

struct WireRig {
  explicit WireRig(net::BitRate rate = net::BitRate::Mbit100)
      : cable(clock, rate), card(clock, configFor(BusWidth::Word)), far(cable.end(kFar), clock) {
    card.plugInto(cable.end(kNear));
  }

  void start(std::uint8_t rcrValue = 0, std::uint8_t tcrValue = tcr::kNormal) {
    startOnWire(card, rcrValue, tcrValue);
  }
  void transmit(std::span<const std::uint8_t> frame, std::uint8_t page = kTxPage) {
    transmitFrom(card, frame, page);
  }
  [[nodiscard]] std::uint8_t curr() { return readCurr(card); }

  void setMar(const std::array<std::uint8_t, 8>& mar) {
    card.write8(port::CR, cr::kPage1Start);
    for (std::uint16_t i = 0; i < mar.size(); ++i) {
      card.write8(static_cast<std::uint16_t>(port::MAR0 + i), mar[i]);
    }
    card.write8(port::CR, cr::kStartAbort);
  }

  void setCurr(std::uint8_t page) {
    card.write8(port::CR, cr::kPage1Start);
    card.write8(port::CURR, page);
    card.write8(port::CR, cr::kStartAbort);
  }

  // Sends `frame` with its FCS from the far end and lets it arrive.
  void deliver(std::span<const std::uint8_t> frame) {
    deliverRaw(net::WireFrame{net::withFcs(frame)});
  }
  void deliverRaw(net::WireFrame frame) {
    const net::Cable::Transmission sent = far.sendRaw(std::move(frame));
    runUntil(clock, sent.leftAt);
  }

  void run(Duration duration) { runUntil(clock, clock.now() + duration); }

  static constexpr net::Cable::Side kNear = net::Cable::Side::A;
  static constexpr net::Cable::Side kFar = net::Cable::Side::B;

  Clock clock;
  net::Cable cable;
  Card card;
  net::FrameEndpoint far;
};

}  // namespace kl::sim::card::test
