#include "kl7046/trace.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "kl7046/driver_source.h"
#include "kl7046/register_bits.h"
#include "kl7046/vcd_writer.h"
#include "sim/bus/trace_format.h"
#include "sim/card/phy/link_partner.h"
#include "sim/host/packet.h"
#include "sim/host/protocol.h"
#include "sim/net/frame_endpoint.h"
#include "sim/world/network.h"
#include "sim/world/card_world.h"
#include "sim/world/patch_cable.h"
#include "sim/world/test_frames.h"

namespace kl::tools {

namespace {

using namespace std::chrono_literals;

constexpr sim::card::MacAddress kStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
constexpr sim::world::Mac kFarStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0xFE};

// The management frames decoded on the card's MII bus, with when they ended;
// the line changes go on to a VCD file when one is written.
class MiiRecorder final : public sim::card::MiiObserver {
 public:
  struct Decoded {
    sim::VirtualTime at;
    sim::card::MiiFrame frame;
  };

  MiiRecorder(const sim::Clock& clock, VcdWriter* vcd) : clock_(clock), vcd_(vcd) {}

  void linesChanged(const sim::card::MiiLines& lines) override {
    if (vcd_ != nullptr) {
      vcd_->linesChanged(lines);
    }
  }
  void frameDecoded(const sim::card::MiiFrame& frame) override {
    frames_.push_back({clock_.now(), frame});
  }

  // The frames that ended between `from` and `to`.
  [[nodiscard]] std::vector<sim::card::MiiFrame> between(sim::VirtualTime from,
                                                         sim::VirtualTime to) const {
    std::vector<sim::card::MiiFrame> found;
    for (const Decoded& decoded : frames_) {
      if (decoded.at >= from && decoded.at <= to) {
        found.push_back(decoded.frame);
      }
    }
    return found;
  }

 private:
  const sim::Clock& clock_;
  VcdWriter* vcd_;
  std::vector<Decoded> frames_;
};

// What the protocol above the adapter saw, as lines of the trace.
class NarratingProtocol final : public sim::Protocol {
 public:
  void sendComplete(sim::MiniportAdapter& /*adapter*/, NDIS_PACKET& /*packet*/,
                    NDIS_STATUS status) override {
    char text[64];
    std::snprintf(text, sizeof(text), "send complete, status 0x%08X",
                  static_cast<unsigned>(status));
    events.emplace_back(text);
  }
  void receive(sim::MiniportAdapter& /*adapter*/, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> lookahead, UINT packetSize) override {
    events.push_back("receive indication: " + std::to_string(header.size()) + "-byte header, " +
                     std::to_string(lookahead.size()) + " bytes of lookahead, frame of " +
                     std::to_string(header.size() + packetSize) + " bytes");
  }
  void receiveComplete(sim::MiniportAdapter& /*adapter*/) override {
    events.emplace_back("receive complete");
  }

  std::vector<std::string> events;
};

std::string miiFrameText(const sim::card::MiiFrame& frame) {
  char text[96];
  std::snprintf(text, sizeof(text), "MII %s PHY %u register 0x%02X %s 0x%04X%s",
                frame.op == sim::card::MiiFrame::Op::Read ? "read" : "write",
                static_cast<unsigned>(frame.phyAddress), static_cast<unsigned>(frame.reg),
                frame.op == sim::card::MiiFrame::Op::Read ? "->" : "<-",
                static_cast<unsigned>(frame.data), frame.answered ? "" : " (no PHY answers)");
  return text;
}

class TracePrinter {
 public:
  TracePrinter(std::ostream& out, const MiiRecorder& mii, bool everyMiiAccess)
      : out_(out), mii_(mii), everyMiiAccess_(everyMiiAccess) {}

  void section(const std::string& title, const std::vector<sim::PortAccess>& accesses,
               NarratingProtocol& protocol) {
    out_ << "\n== " << title << " (" << accesses.size() << " port accesses)\n";
    for (std::size_t i = 0; i < accesses.size();) {
      i = everyMiiAccess_ ? line(accesses, i) : foldOrLine(accesses, i);
    }
    for (const std::string& event : protocol.events) {
      out_ << "   protocol: " << event << '\n';
    }
    protocol.events.clear();
  }

 private:
  static bool isMii(const sim::PortAccess& access) { return access.name == "MIIMR"; }

  std::size_t line(const std::vector<sim::PortAccess>& accesses, std::size_t i) {
    const sim::PortAccess& access = accesses[i];
    out_ << sim::formatAccess(access);
    if (access.count == 1 && access.width == 1) {
      const std::string bits =
          describeRegister(access.name, access.direction, static_cast<std::uint8_t>(access.value));
      if (!bits.empty()) {
        out_ << "  " << bits;
      }
    }
    out_ << '\n';
    return i + 1;
  }

  // A run of MIIMR accesses is the bit-banging of management frames: one
  // line for the run, then the frames it carried.
  std::size_t foldOrLine(const std::vector<sim::PortAccess>& accesses, std::size_t i) {
    if (!isMii(accesses[i])) {
      return line(accesses, i);
    }
    std::size_t end = i;
    while (end < accesses.size() && isMii(accesses[end])) {
      ++end;
    }
    const sim::VirtualTime from = accesses[i].time;
    const sim::VirtualTime to = accesses[end - 1].time;
    char text[96];
    const auto us = [](sim::VirtualTime t) {
      return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t).count()) /
             1000.0;
    };
    std::snprintf(text, sizeof(text), "%13.3f us  ..  %zu MIIMR accesses to %.3f us:", us(from),
                  end - i, us(to));
    out_ << text << '\n';
    for (const sim::card::MiiFrame& frame : mii_.between(from, to)) {
      out_ << "                   " << miiFrameText(frame) << '\n';
    }
    return end;
  }

  std::ostream& out_;
  const MiiRecorder& mii_;
  bool everyMiiAccess_;
};

}  // namespace

int runTrace(const TraceOptions& options, std::ostream& out, std::ostream& err) {
  try {
    DriverSource driver(options.driver);
    sim::world::CardWorld world(
        sim::MachineSetup{.timing = options.timing.value_or(sim::card::TimingSetup{})});
    sim::Machine& machine = world.machine();
    const sim::world::SlotSetup slot{.card = {.prom = sim::card::wordWidePromImage(kStation)}};
    sim::card::Card& card = *world.addCard(slot.card, slot.base, slot.vector);
    sim::MiniportAdapter& adapter = world.addAdapter(sim::world::adapterSetupFor(slot));
    machine.onViolation([&](const std::string& what) {
      err << "kl7046 trace: NDIS rule broken: " << what << '\n';
    });

    std::unique_ptr<VcdWriter> vcd;
    if (!options.vcd.empty()) {
      vcd = std::make_unique<VcdWriter>(options.vcd, machine.clock());
    }
    MiiRecorder mii(machine.clock(), vcd.get());
    card.mii().setObserver(&mii);
    sim::card::LinkPartner partner;
    sim::world::PatchCable cable(machine.clock(), card, partner);
    sim::net::FrameEndpoint far(cable.cable().end(sim::net::Cable::Side::B), machine.clock());
    NarratingProtocol protocol;
    adapter.bind(protocol);
    TracePrinter printer(out, mii, options.mii);
    sim::IoBus& bus = machine.bus();

    const auto step = [&](const std::string& title, auto&& action) {
      bus.clearTrace();
      bus.startTrace();
      action();
      bus.stopTrace();
      printer.section(title, bus.trace(), protocol);
    };

    out << "kl7046 trace: one card at 0x300, interrupt 3, station "
        << "02:4b:4c:70:46:01"
        << ", behind a switch port that auto-negotiates\n";
    bool up = false;
    step("bring-up: DriverEntry and MiniportInitialize", [&] {
      up = driver.load(machine) == STATUS_SUCCESS && adapter.initialize() == NDIS_STATUS_SUCCESS;
    });
    if (!up) {
      err << "kl7046 trace: the adapter did not come up\n";
      return 1;
    }
    // The link comes up once the PHY has powered up and negotiated, at any
    // corner within 3 s of the start.
    machine.runFor(3s);
    auto packet = sim::Packet::fromBytes(
        sim::world::buildTestFrame(kFarStation, kStation, {1, 0}, sim::world::kSmallestTestFrame));
    step("one send: 60 bytes to the far station", [&] {
      adapter.send(packet->ndis());
      machine.runFor(1ms);
    });
    step("one receive: 60 bytes from the far station", [&] {
      far.send(sim::world::buildTestFrame(kStation, kFarStation, {2, 0},
                                          sim::world::kSmallestTestFrame));
      machine.runFor(1ms);
    });
    step("a link change: the switch port forced to 10 Mbit/s half duplex", [&] {
      partner.force({sim::card::Speed::Mbit10, sim::card::Duplex::Half});
      machine.runFor(4s);
    });
    step("halt", [&] { adapter.halt(); });
    card.mii().setObserver(nullptr);
    out << "\nframes on the wire: " << far.arrivals().size() << " from the card\n";
  } catch (const std::exception& error) {
    err << "kl7046 trace: " << error.what() << '\n';
    return 1;
  }
  return 0;
}

}  // namespace kl::tools
