// Benches for the data path: an adapter brought up by hand (the card memory
// laid out as bring-up lays it out, the controller started and on the wire,
// the interrupt registered and the card's interrupt output enabled) with a
// protocol bound above it that records what it is given.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "driver/adapter.h"
#include "sim/bus/interposer.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"
#include "sim/host/packet.h"
#include "sim/host/protocol.h"
#include "tests/driver/port_trace.h"

namespace kl::test {

// A protocol that keeps every completion and every frame it is shown. By
// default it asks for the rest of each frame during the indication, so that
// `frames` holds whole frames.
class DatapathProtocol final : public sim::Protocol {
 public:
  struct Completion {
    NDIS_PACKET* packet;
    NDIS_STATUS status;
  };
  struct Frame {
    std::vector<std::uint8_t> header;
    std::vector<std::uint8_t> lookahead;
    UINT packetSize = 0;
    // Header, lookahead and what transfer-data brought, in frame order.
    std::vector<std::uint8_t> bytes;
    NDIS_STATUS transferStatus = NDIS_STATUS_SUCCESS;
  };
  // Runs during an indication instead of the default transfer of the rest.
  using ReceiveHook = std::function<void(sim::MiniportAdapter&, Frame&)>;

  void sendComplete(sim::MiniportAdapter& adapter, NDIS_PACKET& packet,
                    NDIS_STATUS status) override;
  void receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> lookahead, UINT packetSize) override;
  void receiveComplete(sim::MiniportAdapter& adapter) override;

  std::vector<Completion> completions;
  std::vector<Frame> frames;
  unsigned receiveCompletes = 0;
  ReceiveHook onReceive;
  // Called after each completion, e.g. to send more.
  std::function<void(NDIS_PACKET&, NDIS_STATUS)> onSendComplete;
};

// Where one adapter sits and how its card is built.
struct AdapterPlacement {
  sim::PortAddress ioBase = kIoBase;
  UINT vector = 3;
  sim::card::BusWidth width = sim::card::BusWidth::Word;
  ULONG cardType = 0;
  std::array<std::uint8_t, 6> station = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
  // 16 KiB of packet memory from here: 12 transmit pages, then the ring.
  std::uint32_t ramStart = 0x4000;
};

// One card, its Adapter record and the protocol bound to it, in a machine
// with the driver loaded that may hold other cards. The machine touches none
// of them once the test is over, so they may go before it does.
class HandBuiltAdapter {
 public:
  HandBuiltAdapter(sim::Machine& machine, const AdapterPlacement& placement);
  // The interrupt listens to the card's line: it is let go before the card.
  ~HandBuiltAdapter();
  HandBuiltAdapter(const HandBuiltAdapter&) = delete;
  HandBuiltAdapter& operator=(const HandBuiltAdapter&) = delete;

  [[nodiscard]] Adapter* record() { return &record_; }
  [[nodiscard]] sim::card::Card& card() { return card_; }
  [[nodiscard]] sim::MiniportAdapter& host() { return *host_; }
  // In front of the card on the bus, for a test to act at one exact access.
  [[nodiscard]] sim::Interposer& interposer() { return interposer_; }
  [[nodiscard]] const AdapterPlacement& placement() const { return placement_; }

  // Sends the packet as NDIS would.
  NDIS_STATUS send(sim::Packet& packet) { return host_->send(packet.ndis()); }
  // Runs code as a serialised handler of this machine.
  void atDispatch(const std::function<void()>& code);
  // Latches ISR bits and lets the machine look at the interrupt line.
  void raiseStatus(std::uint8_t isrBits);

  // The receive ring as the record lays it out.
  [[nodiscard]] std::uint32_t pageAddress(std::uint8_t page) const {
    return static_cast<std::uint32_t>(page) * 256;
  }
  // Stores a frame into the ring the way the controller does: a ring header
  // (status, next page, count including a 4-byte FCS) at `page`, the frame
  // and an FCS of `fcsFill` bytes, wrapping at the ring's end. Returns the
  // next frame's page. A count may be given to store instead of the true one.
  std::uint8_t storeFrame(std::uint8_t page, std::span<const std::uint8_t> frame,
                          std::uint8_t status = 0x01, int countOverride = -1);
  // Writes bytes into card memory from a ring address, following the ring's
  // wrap, as the controller's local DMA stores them.
  void storeRingBytes(std::uint32_t address, std::span<const std::uint8_t> bytes);
  // Bytes of card memory at a ring address, following the ring's wrap.
  [[nodiscard]] std::vector<std::uint8_t> ringBytes(std::uint32_t address, std::size_t count) const;
  // CURR, as the controller would have moved it.
  void setCurr(std::uint8_t page) { card_.controller().setCurr(page); }

  DatapathProtocol protocol;

 private:
  sim::Machine& machine_;
  AdapterPlacement placement_;
  sim::card::Card card_;
  sim::Interposer interposer_{card_};
  Adapter record_{};
  sim::MiniportAdapter* host_ = nullptr;
};

// The common case: one machine with the driver loaded and one adapter.
class DatapathBench {
 public:
  explicit DatapathBench(const AdapterPlacement& placement = {});
  DatapathBench(const DatapathBench&) = delete;
  DatapathBench& operator=(const DatapathBench&) = delete;

  [[nodiscard]] sim::Machine& machine() { return *machine_; }
  [[nodiscard]] HandBuiltAdapter& nic() { return *nic_; }
  [[nodiscard]] Adapter* adapter() { return nic_->record(); }

 private:
  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<HandBuiltAdapter> nic_;
};

// A frame of `length` bytes from `source` to `destination` whose payload is
// a pattern seeded by `seed`: a frame that arrives changed or out of place
// shows.
std::vector<std::uint8_t> PatternFrame(std::size_t length,
                                       std::span<const std::uint8_t> destination,
                                       std::span<const std::uint8_t> source, std::uint32_t seed);

}  // namespace kl::test
