#include "kl7046/bridge.h"

#include <net/if.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <system_error>
#include <vector>

#include "kl7046/driver_source.h"
#include "kl7046/interface_view.h"
#include "kl7046/statistics.h"
#include "kl7046/stop_signals.h"
#include "kl7046/tap_device.h"
#include "sim/card/phy/link_partner.h"
#include "sim/host/packet.h"
#include "sim/net/ethernet.h"
#include "sim/net/pcap_writer.h"
#include "sim/world/card_world.h"
#include "sim/world/patch_cable.h"
#include "sim/world/traffic_station.h"

namespace kl::tools {

namespace {

using namespace std::chrono_literals;
using Mac = std::array<std::uint8_t, 6>;

constexpr sim::card::MacAddress kStationAddress = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
constexpr std::size_t kMinimumFrame = 60;
// Packets the protocol lets the driver hold before it drops what the
// station sends, as a protocol's send queue would.
constexpr std::size_t kSendWindow = 64;
constexpr auto kFilterPoll = 200ms;
constexpr auto kSlice = 1ms;

struct Tally {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t dropped = 0;
};

// The network end of the cable: frames the card sends go to the wire TAP,
// and what the network sends through it goes onto the cable.
class WirePort final : public sim::net::Station {
 public:
  explicit WirePort(TapDevice& tap) : tap_(tap) {}

  void frameArrived(const sim::net::WireFrame& frame) override {
    const std::span<const std::uint8_t> bytes(frame.bytes);
    if (bytes.size() < sim::net::kFcsBytes) {
      return;
    }
    const auto payload = bytes.first(bytes.size() - sim::net::kFcsBytes);
    if (tap_.write(payload)) {
      ++toNetwork.frames;
      toNetwork.bytes += payload.size();
    } else {
      ++toNetwork.dropped;
    }
  }

  // Puts what the network sent onto the cable, padded as an interface pads.
  void pump(sim::net::Cable::End& end) {
    while (auto frame = tap_.read()) {
      if (frame->size() < kMinimumFrame) {
        frame->resize(kMinimumFrame);
      }
      ++fromNetwork.frames;
      fromNetwork.bytes += frame->size();
      end.send(sim::net::WireFrame{sim::net::withFcs(*frame)});
    }
  }

  Tally toNetwork;
  Tally fromNetwork;

 private:
  TapDevice& tap_;
};

// The protocol above the driver: the station TAP's stack. It hands what the
// stack sends to the miniport, gives the stack every frame indicated, and
// keeps the packet filter and multicast list equal to the interface's, as
// the namespace the interface lives in sees it. Where the interface cannot
// be seen, the station is given all multicast, and told so once.
class StationBinding final : public sim::Protocol {
 public:
  StationBinding(sim::MiniportAdapter& adapter, TapDevice& tap, InterfaceView& view)
      : adapter_(adapter), tap_(tap), view_(view) {
    adapter_.bind(*this);
  }

  void sendComplete(sim::MiniportAdapter& /*adapter*/, NDIS_PACKET& packet,
                    NDIS_STATUS status) override {
    inFlight_.erase(&packet);
    if (status != NDIS_STATUS_SUCCESS) {
      ++toDriver.dropped;
    }
  }

  void receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> lookahead, UINT packetSize) override {
    const auto frame = sim::receivedFrame(adapter, header, lookahead, packetSize);
    if (frame && tap_.write(*frame)) {
      ++toStation.frames;
      toStation.bytes += frame->size();
    } else {
      ++toStation.dropped;
    }
  }

  void receiveComplete(sim::MiniportAdapter& /*adapter*/) override {}

  void pump() {
    while (auto frame = tap_.read()) {
      if (inFlight_.size() >= kSendWindow) {
        ++toDriver.dropped;
        continue;
      }
      ++toDriver.frames;
      toDriver.bytes += frame->size();
      auto packet = sim::Packet::fromBytes(*frame);
      NDIS_PACKET& ndis = packet->ndis();
      inFlight_.emplace(&ndis, std::move(packet));
      adapter_.send(ndis);
    }
  }

  // Reads the interface's flags and groups and sets what changed.
  void syncFilter(std::ostream& err) {
    std::string error;
    const std::optional<InterfaceState> state = view_.read(error);
    if (!state && !unseen_) {
      err << "kl7046 bridge: " << error << "; the station is sent all multicast\n";
      unseen_ = true;
    }
    const unsigned flags = state ? state->flags : static_cast<unsigned>(IFF_ALLMULTI);
    std::vector<Mac> groups = state ? state->groups : std::vector<Mac>{};
    const ULONG capacity =
        sim::world::queryUlong(adapter_, OID_802_3_MAXIMUM_LIST_SIZE).value_or(0);
    ULONG filter =
        NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;
    if ((flags & IFF_ALLMULTI) != 0 || groups.size() > capacity) {
      filter |= NDIS_PACKET_TYPE_ALL_MULTICAST;
      groups.clear();
    }
    if ((flags & IFF_PROMISC) != 0) {
      filter |= NDIS_PACKET_TYPE_PROMISCUOUS;
    }
    ULONG done = 0;
    ULONG needed = 0;
    if (groups != groups_) {
      std::vector<std::uint8_t> list;
      for (const Mac& group : groups) {
        list.insert(list.end(), group.begin(), group.end());
      }
      report(err, "multicast list", adapter_.set(OID_802_3_MULTICAST_LIST, list, done, needed));
      groups_ = groups;
    }
    if (filter != filter_) {
      std::uint8_t bytes[sizeof(ULONG)];
      std::memcpy(bytes, &filter, sizeof(filter));
      report(err, "packet filter",
             adapter_.set(OID_GEN_CURRENT_PACKET_FILTER, bytes, done, needed));
      filter_ = filter;
    }
  }

  Tally toDriver;
  Tally toStation;

 private:
  static void report(std::ostream& err, const char* what, NDIS_STATUS status) {
    if (status != NDIS_STATUS_SUCCESS) {
      err << "kl7046 bridge: the driver refused the " << what << " (status 0x" << std::hex
          << static_cast<unsigned>(status) << std::dec << ")\n";
    }
  }

  sim::MiniportAdapter& adapter_;
  TapDevice& tap_;
  InterfaceView& view_;
  bool unseen_ = false;
  std::map<const NDIS_PACKET*, std::unique_ptr<sim::Packet>> inFlight_;
  std::vector<Mac> groups_;
  std::optional<ULONG> filter_;
};

void printTally(std::ostream& out, const char* label, const Tally& tally) {
  out << "  " << label << ": " << tally.frames << " frames, " << tally.bytes << " bytes";
  if (tally.dropped != 0) {
    out << ", " << tally.dropped << " dropped";
  }
  out << '\n';
}

// Runs the machine in step with the wall clock, handing frames across,
// until asked to stop or `duration` is over.
void pace(sim::Machine& machine, TapDevice& wire, TapDevice& station, WirePort& port,
          StationBinding& binding, sim::net::Cable::End& networkEnd, std::optional<double> duration,
          StopSignals& stop, std::ostream& err) {
  const auto wallStart = std::chrono::steady_clock::now();
  const sim::VirtualTime virtualStart = machine.now();
  auto nextFilterPoll = wallStart;
  pollfd fds[3] = {{wire.fd(), POLLIN, 0}, {station.fd(), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
  while (true) {
    const auto now = std::chrono::steady_clock::now();
    if (duration && std::chrono::duration<double>(now - wallStart).count() >= *duration) {
      break;
    }
    if (now >= nextFilterPoll) {
      binding.syncFilter(err);
      nextFilterPoll = now + kFilterPoll;
    }
    // Wait for the TAPs no longer than until the machine's next event is due
    // by the wall clock: a frame on its way is not held back a whole slice.
    std::chrono::nanoseconds wait = kSlice;
    if (const auto next = machine.clock().nextEventTime()) {
      const auto due = wallStart + (*next - virtualStart);
      wait = std::clamp<std::chrono::nanoseconds>(due - now, std::chrono::nanoseconds{0}, kSlice);
    }
    const timespec timeout{.tv_sec = 0, .tv_nsec = static_cast<long>(wait.count())};
    ::ppoll(fds, 3, &timeout, nullptr);
    if ((fds[2].revents & POLLIN) != 0 && stop.raised()) {
      break;
    }
    port.pump(networkEnd);
    binding.pump();
    const sim::VirtualTime due = virtualStart + std::chrono::duration_cast<sim::Duration>(
                                                    std::chrono::steady_clock::now() - wallStart);
    if (due > machine.now()) {
      machine.runFor(due - machine.now());
    }
  }
}

}  // namespace

int runBridge(const BridgeOptions& options, const Installation& installation, std::ostream& out,
              std::ostream& err) {
  std::unique_ptr<TapDevice> wire;
  std::unique_ptr<TapDevice> station;
  try {
    wire = std::make_unique<TapDevice>(options.wire);
    station = std::make_unique<TapDevice>(options.station);
  } catch (const std::system_error& error) {
    err << "kl7046 bridge: " << error.what()
        << (error.code() == std::errc::operation_not_permitted ||
                    error.code() == std::errc::permission_denied
                ? " (opening TAP devices needs CAP_NET_ADMIN)"
                : "")
        << '\n';
    return 1;
  }
  try {
    DriverSource driver(options.driver);
    const SlotSettings& settings = installation.adapters[0];
    const sim::world::SlotSetup slot = applySettings(settings, {}, kStationAddress);
    sim::world::CardWorld world(
        sim::MachineSetup{.processorCount = installation.processors.value_or(1),
                          .seed = options.seed,
                          .busCycles = installation.busCycles.value_or(sim::BusCycleTimes{}),
                          .timing = timingOf(options.timing, installation, options.seed)});
    sim::card::Card& card = *world.addCard(slot.card, slot.base, slot.vector);
    sim::MiniportAdapter& adapter = world.addAdapter(sim::world::adapterSetupFor(slot));
    world.machine().onViolation([&](const std::string& what) {
      err << "kl7046 bridge: NDIS rule broken: " << what << '\n';
    });
    WirePort port(*wire);
    sim::card::LinkPartner partner(settings.partner.value_or(sim::card::LinkSignal::negotiating(
        sim::card::ability::kAll | sim::card::ability::kSelector8023)));
    sim::world::PatchCable cable(world.machine().clock(), card, partner, port);
    std::unique_ptr<sim::net::PcapWriter> capture;
    if (!options.pcap.empty()) {
      capture = std::make_unique<sim::net::PcapWriter>(options.pcap);
      capture->capture(cable.cable());
    }
    if (driver.load(world.machine()) != STATUS_SUCCESS ||
        adapter.initialize() != NDIS_STATUS_SUCCESS) {
      err << "kl7046 bridge: the adapter did not come up\n";
      return 1;
    }
    InterfaceView stationView(*station);
    StationBinding binding(adapter, *station, stationView);
    Mac address{};
    ULONG done = 0;
    ULONG needed = 0;
    adapter.query(OID_802_3_CURRENT_ADDRESS, address, done, needed);
    stationView.setAddress(address);

    // From here a stop request ends the run with its statistics printed.
    StopSignals stop;
    pace(world.machine(), *wire, *station, port, binding,
         cable.cable().end(sim::net::Cable::Side::B), options.durationSeconds, stop, err);

    out << "kl7046 bridge: wire " << options.wire << ", station " << options.station << "\n";
    printTally(out, "station to driver", binding.toDriver);
    printTally(out, "driver to station", binding.toStation);
    printTally(out, "network to card", port.fromNetwork);
    printTally(out, "card to network", port.toNetwork);
    out << "  driver statistics\n";
    for (const auto& [name, value] : queryStatistics(adapter)) {
      out << "    " << name << ": " << (value ? std::to_string(*value) : "not answered") << '\n';
    }
    adapter.halt();
    adapter.unbind();
  } catch (const std::exception& error) {
    err << "kl7046 bridge: " << error.what() << '\n';
    return 1;
  }
  return 0;
}

}  // namespace kl::tools
