#include "tests/driver/datapath_bench.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "driver/miniport_handlers.h"
#include "nic/controller.h"
#include "sim/host/handler_names.h"
#include "support/linked_driver.h"

namespace kl::test {

// ---------------------------------------------------------------------------
// DatapathProtocol.

void DatapathProtocol::sendComplete(sim::MiniportAdapter& /*adapter*/, NDIS_PACKET& packet,
                                    NDIS_STATUS status) {
  completions.push_back({&packet, status});
  if (onSendComplete) {
    onSendComplete(packet, status);
  }
}

void DatapathProtocol::receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
                               std::span<const std::uint8_t> lookahead, UINT packetSize) {
  Frame frame;
  frame.header.assign(header.begin(), header.end());
  frame.lookahead.assign(lookahead.begin(), lookahead.end());
  frame.packetSize = packetSize;
  frame.bytes = frame.header;
  frame.bytes.insert(frame.bytes.end(), lookahead.begin(), lookahead.end());
  if (onReceive) {
    onReceive(adapter, frame);
  } else if (lookahead.size() < packetSize) {
    const auto rest = static_cast<UINT>(packetSize - lookahead.size());
    const auto destination = sim::Packet::withSpace(rest);
    UINT transferred = 0;
    frame.transferStatus = adapter.transferData(
        destination->ndis(), static_cast<UINT>(lookahead.size()), rest, transferred);
    const std::vector<std::uint8_t> copied = destination->bytes();
    frame.bytes.insert(frame.bytes.end(), copied.begin(), copied.begin() + transferred);
  }
  frames.push_back(std::move(frame));
}

void DatapathProtocol::receiveComplete(sim::MiniportAdapter& /*adapter*/) { ++receiveCompletes; }

// ---------------------------------------------------------------------------
// HandBuiltAdapter.

namespace {

constexpr ULONG kRamSize = 0x4000;
constexpr std::uint8_t kFcsFill = 0xFC;

}  // namespace

HandBuiltAdapter::HandBuiltAdapter(sim::Machine& machine, const AdapterPlacement& placement)
    : machine_(machine),
      placement_(placement),
      card_(machine.clock(),
            sim::card::CardConfig{.busWidth = placement.width,
                                  .memory = {.start = placement.ramStart, .size = kRamSize}}) {
  EXPECT_TRUE(machine.bus().attach(placement.ioBase, sim::card::Card::kPortCount, interposer_));
  machine.wireInterrupt(placement.vector, card_);
  host_ = &machine.addAdapter();
  host_->bind(protocol);

  Adapter& a = record_;
  a.MiniportHandle = host_->handle();
  a.IoPort = reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(placement.ioBase));
  a.EightBitMode = placement.width == sim::card::BusWidth::Byte ? TRUE : FALSE;
  a.CardType = placement.cardType;
  a.InterruptNumber = static_cast<signed char>(placement.vector);
  a.TxBufferCount = kTxBufferCount;
  a.MaxMulticastList = kMaxMulticastAddresses;
  a.RamStart = placement.ramStart;
  a.RamSize = kRamSize;
  a.TxAreaStart = placement.ramStart;
  a.RxAreaStart = placement.ramStart + kTxBufferCount * 256;
  a.RxAreaEnd = placement.ramStart + kRamSize;
  a.TxStartPage = static_cast<UCHAR>(placement.ramStart >> 8);
  a.RxFirstPage = static_cast<UCHAR>(a.TxStartPage + kTxBufferCount);
  a.RxStopPage = static_cast<UCHAR>(a.TxStartPage + (kRamSize >> 8));
  a.CurrentTx = -1;
  a.ImrValue = 0x1B;  // PRX, PTX, TXE, OVW
  a.Lookahead = kMaxLookahead;
  std::copy(placement.station.begin(), placement.station.end(), a.CurrentAddress);
  std::copy(placement.station.begin(), placement.station.end(), a.PermanentAddress);

  // What the driver's MiniportInitialize does, where NDIS runs it.
  machine.processor().serialized(sim::Irql::Passive, sim::kMiniportInitialize, [&] {
    NdisMSetAttributesEx(host_->handle(), &record_, 0, 0, NdisInterfaceIsa);
    EXPECT_TRUE(ControllerStart(&record_));
    EXPECT_EQ(NdisMRegisterInterrupt(&record_.Interrupt, host_->handle(), placement.vector,
                                     placement.vector, FALSE, FALSE, NdisInterruptLatched),
              NDIS_STATUS_SUCCESS);
    WRITE_PORT_UCHAR(record_.IoPort + port::TCR, 0x00);  // on the wire
  });
  machine.processor().atDeviceLevel([&] { MiniportEnableInterrupt(&record_); });
  host_->upWithoutInitialize();
}

HandBuiltAdapter::~HandBuiltAdapter() { NdisMDeregisterInterrupt(&record_.Interrupt); }

void HandBuiltAdapter::atDispatch(const std::function<void()>& code) { machine_.atDispatch(code); }

void HandBuiltAdapter::raiseStatus(std::uint8_t isrBits) {
  card_.controller().setIsrBits(isrBits);
  machine_.runFor(sim::Duration{0});
}

std::uint8_t HandBuiltAdapter::storeFrame(std::uint8_t page, std::span<const std::uint8_t> frame,
                                          std::uint8_t status, int countOverride) {
  const auto count = static_cast<std::uint32_t>(frame.size() + 4);
  const std::uint32_t stored = count + 4;
  const std::uint32_t pages = (stored + 255) / 256;
  const std::uint32_t ringPages = record_.RxStopPage - record_.RxFirstPage;
  const auto next = static_cast<std::uint8_t>(record_.RxFirstPage +
                                              (page - record_.RxFirstPage + pages) % ringPages);
  const auto shown = countOverride >= 0 ? static_cast<std::uint32_t>(countOverride) : count;

  std::vector<std::uint8_t> bytes = {status, next, static_cast<std::uint8_t>(shown),
                                     static_cast<std::uint8_t>(shown >> 8)};
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  bytes.insert(bytes.end(), 4, kFcsFill);
  storeRingBytes(pageAddress(page), bytes);
  return next;
}

void HandBuiltAdapter::storeRingBytes(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t byte : bytes) {
    card_.memory().write(address, byte);
    if (++address == record_.RxAreaEnd) {
      address = record_.RxAreaStart;
    }
  }
}

std::vector<std::uint8_t> HandBuiltAdapter::ringBytes(std::uint32_t address,
                                                      std::size_t count) const {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(card_.memory().read(address));
    if (++address == record_.RxAreaEnd) {
      address = record_.RxAreaStart;
    }
  }
  return bytes;
}

// ---------------------------------------------------------------------------

DatapathBench::DatapathBench(const AdapterPlacement& placement)
    : machine_(std::make_unique<sim::Machine>()) {
  EXPECT_EQ(loadLinkedDriver(*machine_), STATUS_SUCCESS);
  nic_ = std::make_unique<HandBuiltAdapter>(*machine_, placement);
}

std::vector<std::uint8_t> PatternFrame(std::size_t length,
                                       std::span<const std::uint8_t> destination,
                                       std::span<const std::uint8_t> source, std::uint32_t seed) {
  std::vector<std::uint8_t> frame(length);
  std::copy_n(destination.begin(), std::min<std::size_t>(6, length), frame.begin());
  for (std::size_t i = 6; i < 12 && i < length; ++i) {
    frame[i] = source[i - 6];
  }
  // A locally administered EtherType, then bytes from a small xorshift.
  constexpr std::array<std::uint8_t, 2> kType = {0x88, 0xB5};
  for (std::size_t i = 12; i < 14 && i < length; ++i) {
    frame[i] = kType[i - 12];
  }
  std::uint32_t state = seed * 2654435761U + 1;
  for (std::size_t i = 14; i < length; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    frame[i] = static_cast<std::uint8_t>(state);
  }
  return frame;
}

}  // namespace kl::test
