// The host's half of remote-DMA transfers, made with the same port accesses,
// in the same order, as the driver's transfers: byte strings in byte mode;
// 16-bit cycles in word mode, with the odd first byte taken from (or merged
// into) the word that holds it, the odd last byte carried in the low half of
// a final word, and a preparatory read plus address poll before each write.
#pragma once

#include <cstdint>
#include <span>

#include "card_test_support.h"

namespace kl::sim::card::test {

class HostDma {
 public:
  static constexpr int kPollLimit = 65535;

  HostDma(IoDevice& card, bool wordMode) : card_(card), wordMode_(wordMode) {}

  void read(std::uint16_t address, std::span<std::uint8_t> destination) {
    if (destination.empty()) {
      return;
    }
    static_cast<void>(card_.read8(port::CR));
    if (!wordMode_) {
      setUpRemoteDma(card_, address, static_cast<std::uint16_t>(destination.size()),
                     cr::kRemoteRead);
      discardTwoWordReadsOfCr();
      card_.readString8(port::DATA, destination);
      awaitCompletion();
      return;
    }
    if ((address & 1) != 0) {
      setUpRemoteDma(card_, static_cast<std::uint16_t>(address - 1), 2, cr::kRemoteRead);
      discardTwoWordReadsOfCr();
      destination[0] = highByte(card_.read16(port::DATA));
      awaitCompletion();
      ++address;
      destination = destination.subspan(1);
    }
    const std::size_t length = destination.size();
    const std::size_t wholeWords = length / 2;
    setUpRemoteDma(card_, address, static_cast<std::uint16_t>(length + (length & 1)),
                   cr::kRemoteRead);
    card_.readString16(port::DATA, destination.first(wholeWords * 2));
    if ((length & 1) != 0) {
      destination[length - 1] = lowByte(card_.read16(port::DATA));
    }
    awaitCompletion();
  }

  // False when the remote-DMA address does not move after the preparatory
  // read.
  bool write(std::uint16_t address, std::span<const std::uint8_t> source) {
    if (source.empty()) {
      return true;
    }
    if (wordMode_ && (address & 1) != 0) {
      const auto below = static_cast<std::uint16_t>(address - 1);
      const auto above = static_cast<std::uint16_t>(address + 1);
      setUpRemoteDma(card_, below, 2, cr::kRemoteRead);
      const std::uint8_t kept = lowByte(card_.read16(port::DATA));
      setUpRemoteDma(card_, above, 2, cr::kRemoteRead);
      static_cast<void>(card_.read16(port::DATA));
      if (!addressMoved(above)) {
        return false;
      }
      setUpRemoteDma(card_, below, 2, cr::kRemoteWrite);
      card_.write16(port::DATA, static_cast<std::uint16_t>(kept | (source[0] << 8)));
      awaitCompletion();
      ++address;
      source = source.subspan(1);
    }
    const auto even = static_cast<std::uint16_t>(address + (address & 1));
    setUpRemoteDma(card_, even, 2, cr::kRemoteRead);
    if (wordMode_) {
      static_cast<void>(card_.read16(port::DATA));
    } else {
      static_cast<void>(card_.read8(port::DATA));
      static_cast<void>(card_.read8(port::DATA));
    }
    if (!addressMoved(even)) {
      return false;
    }
    const std::size_t length = source.size();
    setUpRemoteDma(card_, address, static_cast<std::uint16_t>(length), cr::kRemoteWrite);
    if (!wordMode_) {
      card_.writeString8(port::DATA, source);
    } else {
      const std::size_t wholeWords = length / 2;
      card_.writeString16(port::DATA, source.first(wholeWords * 2));
      if ((length & 1) != 0) {
        card_.write16(port::DATA, source[length - 1]);
      }
    }
    awaitCompletion();
    return true;
  }

 private:
  void discardTwoWordReadsOfCr() {
    static_cast<void>(card_.read16(port::CR));
    static_cast<void>(card_.read16(port::CR));
  }

  void awaitCompletion() {
    for (int i = 0; i < kPollLimit; ++i) {
      if ((card_.read8(port::ISR) & isr::kRdc) != 0) {
        return;
      }
    }
  }

  bool addressMoved(std::uint16_t from) {
    for (int i = 0; i < kPollLimit; ++i) {
      if (readCrda(card_) != from) {
        return true;
      }
    }
    return false;
  }

  IoDevice& card_;
  bool wordMode_;
};

}  // namespace kl::sim::card::test
