#include "kl7046/bridge.h"

#include <net/if.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "kl7046/driver_source.h"
#include "kl7046/frame_reader.h"
#include "kl7046/frame_writer.h"
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
// Packets the protocol lets the driver hold; what the station sends beyond
// them waits in the TAP's queue, as in a protocol's send queue.
constexpr std::size_t kSendWindow = 64;
// Wire time the network's frames may queue at the cable before the bridge
// stops reading them: enough to keep the cable busy between wake-ups.
constexpr sim::Duration kWireBacklog = 1ms;
// The most frames read for the cable at once: a batch of the largest frames
// overshoots that backlog by no more than 2 ms.
constexpr std::size_t kWireBatch = 16;
// The longest the machine runs, catching up with the wall clock, before the
// bridge hands it what waits on the TAPs: well short of the 430 us in which
// the card sends a full send window of the smallest frames at 100 Mbit/s.
constexpr sim::Duration kCatchUpStep = 100us;
constexpr auto kFilterPoll = 200ms;
constexpr auto kSlice = 1ms;

struct Tally : FrameCounts {
  // Sent into the TAP faster than the machine took them: its queue dropped
  // them before the bridge read them.
  std::uint64_t queueDropped = 0;
};

// Counts what a TAP's queue drops from now on.
class QueueDrops {
 public:
  explicit QueueDrops(InterfaceView& view) : view_(view), before_(view.queueDrops(error_)) {}

  // Adds the drops so far to `tally`, or says why they are not known.
  void addTo(Tally& tally, const TapDevice& tap, std::ostream& err) {
    const std::optional<std::uint64_t> after = view_.queueDrops(error_);
    if (before_ && after) {
      tally.queueDropped += *after - *before_;
    } else {
      err << "kl7046 bridge: the drops of " << tap.name() << "'s queue are not known: " << error_
          << '\n';
    }
  }

 private:
  InterfaceView& view_;
  std::string error_;
  std::optional<std::uint64_t> before_;
};

// The network end of the cable: frames the card sends go to the wire TAP,
// and what the network sends through it goes onto the cable no faster than
// the cable carries it; the rest waits in the TAP's queue, as it would in a
// sender's queue before a real wire.
class WirePort final : public sim::net::Station {
 public:
  WirePort(TapDevice& tap, FrameWriter& writer, const sim::Clock& clock)
      : tap_(tap), reader_(tap), writer_(writer), clock_(clock) {}

  void frameArrived(const sim::net::WireFrame& frame) override {
    const std::span<const std::uint8_t> bytes(frame.bytes);
    if (bytes.size() < sim::net::kFcsBytes) {
      return;
    }
    writer_.write(tap_, bytes.first(bytes.size() - sim::net::kFcsBytes), toNetwork);
  }

  // Whether the cable has taken all but a little of what it was given.
  [[nodiscard]] bool wantsFrames() const { return busyUntil_ <= clock_.now() + kWireBacklog; }

  // Puts what the network sent onto the cable, padded as an interface pads.
  // Returns whether frames may still wait: the cable stopped taking them
  // before the TAP was read empty.
  bool pump(sim::net::Cable::End& end) {
    while (wantsFrames()) {
      const FrameReader::Batch batch = reader_.read(kWireBatch);
      for (const std::span<const std::uint8_t> frame : batch.frames) {
        std::vector<std::uint8_t> bytes(frame.begin(), frame.end());
        bytes.resize(std::max(bytes.size(), kMinimumFrame));
        ++fromNetwork.frames;
        fromNetwork.bytes += bytes.size();
        sim::net::appendFcs(bytes);
        // Framed here, FCS and all: the card need not check it again.
        busyUntil_ =
            end.send(sim::net::WireFrame{.bytes = std::move(bytes), .fcsIntact = true}).leftAt;
      }
      if (batch.empty) {
        return false;
      }
    }
    return true;
  }

  Tally toNetwork;
  Tally fromNetwork;

 private:
  TapDevice& tap_;
  FrameReader reader_;
  FrameWriter& writer_;
  const sim::Clock& clock_;
  sim::VirtualTime busyUntil_{};
};

// The protocol above the driver: the station TAP's stack. It hands what the
// stack sends to the miniport, gives the stack every frame indicated, and
// keeps the packet filter and multicast list equal to the interface's, as
// the namespace the interface lives in sees it. Where the interface cannot
// be seen, the station is given all multicast, and told so once.
class StationBinding final : public sim::Protocol {
 public:
  StationBinding(sim::MiniportAdapter& adapter, TapDevice& tap, FrameWriter& writer,
                 InterfaceView& view)
      : adapter_(adapter), tap_(tap), reader_(tap), writer_(writer), view_(view) {
    adapter_.bind(*this);
  }

  void sendComplete(sim::MiniportAdapter& /*adapter*/, NDIS_PACKET& packet,
                    NDIS_STATUS status) override {
    const auto held = std::ranges::find_if(
        inFlight_, [&packet](const auto& sent) { return &sent->ndis() == &packet; });
    if (held != inFlight_.end()) {
      std::swap(*held, inFlight_.back());
      inFlight_.pop_back();
    }
    if (status != NDIS_STATUS_SUCCESS) {
      ++toDriver.dropped;
    }
  }

  void receive(sim::MiniportAdapter& adapter, std::span<const std::uint8_t> header,
               std::span<const std::uint8_t> lookahead, UINT packetSize) override {
    const auto frame = sim::receivedFrame(adapter, header, lookahead, packetSize);
    if (frame) {
      writer_.write(tap_, *frame, toStation);
    } else {
      ++toStation.dropped;
    }
  }

  void receiveComplete(sim::MiniportAdapter& /*adapter*/) override {}

  // Whether the driver holds fewer packets than the send window allows.
  [[nodiscard]] bool wantsFrames() const { return inFlight_.size() < kSendWindow; }

  // Hands the driver what the station sent while the window has room; the
  // rest waits in the TAP's queue, which drops (and counts) what overflows
  // it, as a protocol's send queue would. Returns whether frames may still
  // wait: the window filled before the TAP was read empty.
  bool pump() {
    while (wantsFrames()) {
      const FrameReader::Batch batch = reader_.read(kSendWindow - inFlight_.size());
      for (const std::span<const std::uint8_t> frame : batch.frames) {
        ++toDriver.frames;
        toDriver.bytes += frame.size();
        auto packet = sim::Packet::fromBytes(frame);
        NDIS_PACKET& ndis = packet->ndis();
        inFlight_.push_back(std::move(packet));
        adapter_.send(ndis);
      }
      if (batch.empty) {
        return false;
      }
    }
    return true;
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
  FrameReader reader_;
  FrameWriter& writer_;
  InterfaceView& view_;
  bool unseen_ = false;
  // At most the send window's packets: a search of them costs less than a
  // map's node per packet.
  std::vector<std::unique_ptr<sim::Packet>> inFlight_;
  std::vector<Mac> groups_;
  std::optional<ULONG> filter_;
};

void printTally(std::ostream& out, const char* label, const Tally& tally) {
  out << "  " << label << ": " << tally.frames << " frames, " << tally.bytes << " bytes";
  if (tally.dropped != 0) {
    out << ", " << tally.dropped << " dropped";
  }
  if (tally.queueDropped != 0) {
    out << ", " << tally.queueDropped << " dropped in the TAP's queue";
  }
  out << '\n';
}

// Which TAPs may hold frames the bridge has not read: the wait saw them
// readable, or the last read stopped for want of room rather than of frames.
// Only those are read: a read that finds nothing costs a system call.
struct Waiting {
  bool network = false;
  bool station = false;
};

// Runs the machine up to `due` in short steps, handing it what waits on the
// TAPs before each, so that a machine far behind the wall clock (the bridge
// was not scheduled for a while) finds frames to send all the way rather
// than running dry after the first window. A TAP read empty is left until
// the next wake-up, when the wait finds it readable.
void catchUp(sim::Machine& machine, WirePort& port, StationBinding& binding,
             sim::net::Cable::End& networkEnd, FrameWriter& writer, Waiting& waiting,
             sim::VirtualTime due) {
  do {
    waiting.network = waiting.network && port.pump(networkEnd);
    waiting.station = waiting.station && binding.pump();
    machine.runFor(std::clamp(due - machine.now(), sim::Duration{0}, kCatchUpStep));
    // What the step (or a send's bus cycles) gave the TAPs goes now.
    writer.flush();
  } while (machine.now() < due);
}

// Runs the machine in step with the wall clock, handing frames across,
// until asked to stop or `duration` is over.
void pace(sim::Machine& machine, TapDevice& wire, TapDevice& station, WirePort& port,
          StationBinding& binding, sim::net::Cable::End& networkEnd, FrameWriter& writer,
          std::optional<double> duration, StopSignals& stop, std::ostream& err) {
  const auto wallStart = std::chrono::steady_clock::now();
  const sim::VirtualTime virtualStart = machine.now();
  auto nextFilterPoll = wallStart;
  pollfd fds[3] = {{wire.fd(), POLLIN, 0}, {station.fd(), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
  Waiting waiting;
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
    // A TAP whose frames cannot be taken yet is not waited for: its frames
    // wait in its queue until the machine has moved them on.
    fds[0].events = port.wantsFrames() ? POLLIN : 0;
    fds[1].events = binding.wantsFrames() ? POLLIN : 0;
    const timespec timeout{.tv_sec = 0, .tv_nsec = static_cast<long>(wait.count())};
    ::ppoll(fds, 3, &timeout, nullptr);
    if ((fds[2].revents & POLLIN) != 0 && stop.raised()) {
      break;
    }
    waiting.network = waiting.network || (fds[0].revents & POLLIN) != 0;
    waiting.station = waiting.station || (fds[1].revents & POLLIN) != 0;
    const sim::VirtualTime due = virtualStart + std::chrono::duration_cast<sim::Duration>(
                                                    std::chrono::steady_clock::now() - wallStart);
    catchUp(machine, port, binding, networkEnd, writer, waiting, due);
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
    FrameWriter writer;
    WirePort port(*wire, writer, world.machine().clock());
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
    StationBinding binding(adapter, *station, writer, stationView);
    Mac address{};
    ULONG done = 0;
    ULONG needed = 0;
    adapter.query(OID_802_3_CURRENT_ADDRESS, address, done, needed);
    stationView.setAddress(address);

    InterfaceView wireView(*wire);
    QueueDrops stationQueue(stationView);
    QueueDrops wireQueue(wireView);

    // From here a stop request ends the run with its statistics printed.
    StopSignals stop;
    pace(world.machine(), *wire, *station, port, binding,
         cable.cable().end(sim::net::Cable::Side::B), writer, options.durationSeconds, stop, err);
    stationQueue.addTo(binding.toDriver, *station, err);
    wireQueue.addTo(port.fromNetwork, *wire, err);

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
