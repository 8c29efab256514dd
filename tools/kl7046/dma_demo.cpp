#include "kl7046/dma_demo.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "driver/adapter.h"
#include "driver/driver_entry.h"
#include "nic/controller.h"
#include "nic/remote_dma.h"
#include "sim/bus/trace_format.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"

namespace kl::tools {

namespace {

constexpr UINT kIoBase = 0x300;
constexpr UINT kInterruptVector = 3;
constexpr sim::card::MacAddress kStation = {0x02, 0x00, 0x4B, 0x4C, 0x70, 0x46};
constexpr std::uint32_t kMaxFrame = 1514;

std::string hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

std::string macText(const UCHAR* address) {
  std::string text;
  for (int i = 0; i < 6; ++i) {
    text += (i ? ":" : "") + hex(address[i], 2);
  }
  return text;
}

// Until bring-up is built, the demo lays the adapter record out by hand the
// way initialisation will: 12 transmit pages, then the receive ring.
void layOut(Adapter& adapter, bool eightBit, NDIS_HANDLE handle) {
  adapter.MiniportHandle = handle;
  adapter.IoPort = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(kIoBase));
  adapter.EightBitMode = eightBit ? 1 : 0;
  adapter.TxBufferCount = 12;
  adapter.RamStart = 0x4000;
  adapter.RamSize = 0x4000;
  adapter.TxAreaStart = 0x4000;
  adapter.RxAreaStart = 0x4C00;
  adapter.RxAreaEnd = 0x8000;
  adapter.TxStartPage = 0x40;
  adapter.RxFirstPage = 0x4C;
  adapter.RxStopPage = 0x80;
  adapter.ImrValue = 0x1B;
  adapter.CurrentTx = -1;
  adapter.Lookahead = 238;
}

struct PassResult {
  std::uint32_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint32_t mismatches = 0;
  std::size_t portAccesses = 0;
  sim::Duration virtualTime{};
};

PassResult runPass(bool eightBit, const DmaDemoOptions& options, std::ostream& out) {
  sim::Machine machine;
  sim::card::Card card(
      machine.clock(),
      sim::card::CardConfig{
          .busWidth = eightBit ? sim::card::BusWidth::Byte : sim::card::BusWidth::Word,
          .prom = eightBit ? sim::card::byteWidePromImage(kStation)
                           : sim::card::wordWidePromImage(kStation),
      });
  machine.bus().attach(kIoBase, sim::card::Card::kPortCount, card);
  machine.wireInterrupt(kInterruptVector, card);

  const NTSTATUS loaded = machine.loadDriver(&DriverEntry);
  out << "  DriverEntry returned 0x" << hex(static_cast<std::uint32_t>(loaded), 8) << "; NDIS "
      << int(machine.characteristics()->MajorNdisVersion) << "."
      << int(machine.characteristics()->MinorNdisVersion) << " miniport registered ("
      << machine.registeredLength() << "-byte characteristics)\n";

  // The PROM is read with the controller set up for the card's bus width;
  // the station address it holds then goes into PAR at the real start.
  Adapter adapter{};
  layOut(adapter, eightBit, machine.addAdapter().handle());
  UCHAR prom[32];
  if (ControllerStart(&adapter) == FALSE) {
    out << "  the controller did not answer its stop command\n";
    return PassResult{.mismatches = 1};
  }
  DmaReadFromCard(&adapter, prom, 0, sizeof prom);
  // A word-wide card answers each PROM byte at two consecutive addresses.
  for (int i = 0; i < 6; ++i) {
    adapter.PermanentAddress[i] = prom[eightBit ? i : 2 * i];
  }
  NdisMoveMemory(adapter.CurrentAddress, adapter.PermanentAddress, 6);
  out << "  station address " << macText(adapter.PermanentAddress) << " read from the PROM\n";

  machine.bus().startTrace();
  ControllerStart(&adapter);
  if (options.trace) {
    for (const sim::PortAccess& access : machine.bus().trace()) {
      out << "    " << sim::formatAccess(access) << "\n";
    }
  }

  PassResult result;
  const auto start = machine.now();
  std::mt19937 random(options.seed);
  std::uniform_int_distribution<std::uint32_t> length(60, kMaxFrame);
  std::uniform_int_distribution<std::uint32_t> byte(0, 255);
  std::uniform_int_distribution<std::uint32_t> offset(0, 1);
  std::vector<UCHAR> frame(kMaxFrame);
  std::vector<UCHAR> back(kMaxFrame);
  for (std::uint32_t i = 0; i < options.frames; ++i) {
    const std::uint32_t size = length(random);
    // Alternate between the transmit area and the receive ring, at both
    // address parities.
    const ULONG address = (i % 2 ? adapter.RxAreaStart : adapter.TxAreaStart) + offset(random);
    for (std::uint32_t k = 0; k < size; ++k) {
      frame[k] = static_cast<UCHAR>(byte(random));
    }
    DmaWriteToCard(&adapter, address, frame.data(), size);
    DmaReadFromCard(&adapter, back.data(), address, size);
    result.mismatches += std::equal(frame.begin(), frame.begin() + size, back.begin()) ? 0 : 1;
    ++result.frames;
    result.bytes += size;
  }
  result.virtualTime = machine.now() - start;
  result.portAccesses = machine.bus().trace().size();
  ControllerStop(&adapter);
  return result;
}

}  // namespace

bool runDmaDemo(const DmaDemoOptions& options, std::ostream& out) {
  out << "VELMORAN KL7046 PC Card: driver on the emulated card\n";
  bool intact = true;
  for (const bool eightBit : {false, true}) {
    out << (eightBit ? "Byte-wide card (8-bit transfers):\n"
                     : "Word-wide card (16-bit transfers):\n");
    const PassResult r = runPass(eightBit, options, out);
    out << "  " << r.frames << " frames, " << r.bytes
        << " bytes written and read back by remote DMA, " << r.mismatches << " corrupted\n"
        << "  " << r.portAccesses << " port operations (a string transfer counts as one); "
        << std::chrono::duration_cast<std::chrono::microseconds>(r.virtualTime).count()
        << " us of virtual time spent in busy waits\n";
    intact = intact && r.mismatches == 0 && r.frames == options.frames;
  }
  out << (intact ? "All bytes arrived intact.\n" : "Bytes were lost or corrupted.\n");
  return intact;
}

}  // namespace kl::tools
