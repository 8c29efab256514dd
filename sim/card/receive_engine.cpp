#include "sim/card/receive_engine.h"

#include <algorithm>

#include "sim/card/registers.h"
#include "sim/core/crc32.h"
#include "sim/net/ethernet.h"

namespace kl::sim::card {

namespace {

constexpr int kHashIndexShift = 29;  // CRC bits 31..29 pick the MAR register
constexpr int kHashBitShift = 26;    // bits 28..26 the bit in it
constexpr std::uint32_t kHashBitMask = 0x07;
// No ring can hold a frame of more pages than a page number can count.
constexpr std::size_t kMostPages = 256;

bool multicastHashHit(std::span<const std::uint8_t> destination, const ReceiveSetup& setup) {
  const std::uint32_t crc = ethernetCrcRegister(destination.first(net::kAddressBytes));
  const std::uint32_t index = crc >> kHashIndexShift;
  const std::uint32_t bit = (crc >> kHashBitShift) & kHashBitMask;
  return (setup.mar[index] & (1U << bit)) != 0;
}

}  // namespace

bool addressRecognised(std::span<const std::uint8_t> destination, const ReceiveSetup& setup) {
  if (!net::isGroupAddress(destination)) {
    return (setup.rcr & reg::kRcrPro) != 0 ||
           std::equal(setup.par.begin(), setup.par.end(), destination.begin());
  }
  if (net::isBroadcast(destination)) {
    return (setup.rcr & reg::kRcrAb) != 0;
  }
  return (setup.rcr & reg::kRcrAm) != 0 && multicastHashHit(destination, setup);
}

Reception ReceiveEngine::receive(const net::WireFrame& frame, const ReceiveSetup& setup) {
  Reception result{.curr = setup.curr};
  const std::span<const std::uint8_t> bytes = frame.bytes;
  // Runts are fragments, not frames: the receiver drops them unseen.
  if (bytes.size() < net::kMinFrameBytes || !addressRecognised(bytes, setup)) {
    return result;
  }
  result.recognised = true;
  const std::uint8_t phy = net::isGroupAddress(bytes) ? reg::kRsrPhy : 0;
  const auto refuse = [&](std::uint8_t rsr, Tally tally) {
    result.rsr = static_cast<std::uint8_t>(rsr | phy);
    result.isr = reg::kIsrRxe;
    result.tally = tally;
    return result;
  };
  if (frame.misaligned) {
    return refuse(reg::kRsrFae, Tally::FrameAlignment);
  }
  if (!frame.fcsIntact && !net::fcsValid(bytes)) {
    return refuse(reg::kRsrCrc, Tally::Crc);
  }
  if ((setup.rcr & reg::kRcrMon) != 0) {
    return refuse(reg::kRsrMpa | reg::kRsrDis, Tally::MissedFrame);
  }
  if (overflowed_) {
    return refuse(reg::kRsrMpa, Tally::MissedFrame);
  }
  const std::size_t pages =
      (kHeaderBytes + bytes.size() + CardMemory::kPageSize - 1) / CardMemory::kPageSize;
  std::optional<std::uint8_t> next = pageAfter(pages, setup);
  if (faults_.receiveOverruns > 0) {
    --faults_.receiveOverruns;
    next.reset();
  }
  if (!next) {
    overflowed_ = true;
    refuse(reg::kRsrMpa, Tally::MissedFrame);
    result.isr |= reg::kIsrOvw;
    return result;
  }
  const auto count = static_cast<std::uint16_t>(bytes.size());
  result.rsr = static_cast<std::uint8_t>(reg::kRsrPrx | phy);
  const std::array<std::uint8_t, kHeaderBytes> header = {
      result.rsr, *next, static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)};
  store(header, bytes, setup);
  if (faults_.corruptStoredFrames > 0) {
    --faults_.corruptStoredFrames;
    corruptStored(setup.curr);
  }
  result.isr = reg::kIsrPrx;
  result.curr = *next;
  return result;
}

std::uint8_t ReceiveEngine::nextPage(std::uint8_t page, const ReceiveSetup& setup) {
  const auto next = static_cast<std::uint8_t>(page + 1);
  return next == setup.pstop ? setup.pstart : next;
}

std::optional<std::uint8_t> ReceiveEngine::pageAfter(std::size_t pages, const ReceiveSetup& setup) {
  if (pages > kMostPages) {
    return std::nullopt;
  }
  std::uint8_t page = setup.curr;
  for (std::size_t i = 0; i < pages; ++i) {
    if (page == setup.bnry) {
      return std::nullopt;
    }
    page = nextPage(page, setup);
  }
  return page;
}

void ReceiveEngine::store(std::span<const std::uint8_t> header, std::span<const std::uint8_t> frame,
                          const ReceiveSetup& setup) {
  std::array<std::uint8_t, CardMemory::kPageSize> page{};
  std::copy(header.begin(), header.end(), page.begin());
  std::size_t filled = header.size();
  std::uint8_t at = setup.curr;
  while (!frame.empty()) {
    const std::size_t take = std::min(frame.size(), page.size() - filled);
    std::copy_n(frame.begin(), take, page.begin() + static_cast<std::ptrdiff_t>(filled));
    frame = frame.subspan(take);
    memory_.write(at * CardMemory::kPageSize, std::span(page).first(filled + take));
    at = nextPage(at, setup);
    filled = 0;
  }
}

void ReceiveEngine::corruptStored(std::uint8_t page) {
  // A byte past the Ethernet header, still in the frame's first page.
  constexpr std::uint32_t kFlippedByte = kHeaderBytes + 30;
  const std::uint32_t address = page * CardMemory::kPageSize + kFlippedByte;
  memory_.write(address, static_cast<std::uint8_t>(memory_.read(address) ^ 0xFF));
}

}  // namespace kl::sim::card
