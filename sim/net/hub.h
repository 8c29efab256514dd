// A repeater hub: one shared half-duplex segment with a port for each
// station (IEEE 802.3 clause 4 CSMA/CD, clause 9 and 27 repeaters).
//
// Every frame that comes through whole reaches every other port whose
// transceiver has a link at the hub's rate. The hub does not place its ports
// along the wire: it stands for a collision domain of the largest size the
// slot time allows. A port that starts sending while another's frame began
// less than one slot time before has not heard it yet: every frame then on
// the wire collides, each sender jams, stops and backs off (truncated binary
// exponential backoff, 0 to 2^min(n, 10) - 1 slot times after its n-th
// collision, drawn from the world's generator), and gives the frame up after
// 16 attempts. A later start hears the carrier and defers until the frame and
// the inter-frame gap have passed; every port deferring to the same carrier
// starts as soon as it is gone (1-persistent), so that they collide and the
// backoff parts them. What a collision leaves of the first frame in it (its
// bytes up to the collision and the jam, its FCS wrong) reaches the ports
// that were not sending.
//
// Every MAC on a hub runs half duplex: the hub's ports signal half duplex
// only, and a station forced to full duplex is treated as if it listened.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sim/core/clock.h"
#include "sim/core/liveness.h"
#include "sim/core/random.h"
#include "sim/net/jack.h"

namespace kl::sim::net {

class Hub {
 public:
  class Port final : public Jack {
   public:
    Port(Hub& hub, std::size_t index) : hub_(hub), index_(index) {}
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() override = default;

    void plug(Station& station) override { station_ = &station; }
    void unplug() override { station_ = nullptr; }
    [[nodiscard]] BitRate bitRate() const override { return rate_; }
    void setBitRate(BitRate rate) override { rate_ = rate; }
    void setTransceiverUp(bool up) override { transceiverUp_ = up; }
    [[nodiscard]] bool carriesFrames() const override;
    void setDuplex(Duplex /*duplex*/) override {}
    Transmission send(WireFrame frame, SendDone done) override;
    bool cutOff(const Transmission& transmission) override;

    [[nodiscard]] std::size_t index() const { return index_; }

   private:
    friend class Hub;
    Hub& hub_;
    std::size_t index_;
    Station* station_ = nullptr;
    BitRate rate_ = BitRate::Mbit100;
    bool transceiverUp_ = true;
  };

  // A frame the segment carried whole: from which port, and when its last
  // bit came.
  using Observer = std::function<void(const WireFrame& frame, std::size_t from, VirtualTime at)>;
  // A frame a port gave up after its 16th collision.
  using GiveUpObserver = std::function<void(const WireFrame& frame, std::size_t from)>;

  Hub(Clock& clock, std::size_t ports, BitRate rate, WorldRandom& random);
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;
  ~Hub() = default;

  [[nodiscard]] Port& port(std::size_t index) { return *ports_.at(index).jack; }
  [[nodiscard]] std::size_t portCount() const { return ports_.size(); }
  [[nodiscard]] BitRate bitRate() const { return rate_; }
  // What medium access did to the frames of the station at `index`.
  [[nodiscard]] const AccessCounts& accessCounts(std::size_t index) const {
    return ports_.at(index).counts;
  }

  void onFrame(Observer observer) { observers_.push_back(std::move(observer)); }
  void onGiveUp(GiveUpObserver observer) { giveUpObservers_.push_back(std::move(observer)); }

 private:
  // A frame as it occupies the segment.
  struct Burst {
    std::size_t port = 0;
    std::uint64_t ticket = 0;
    VirtualTime start{};
    VirtualTime end{};
    bool collided = false;
  };
  // A frame until it came through or was given up.
  struct Attempt {
    std::uint64_t ticket = 0;
    WireFrame frame;
    SendDone done;
    unsigned collisions = 0;
    bool onWire = false;
    VirtualTime start{};
    std::optional<Clock::EventId> next;  // the next try, or the frame's end
  };
  struct PortState {
    std::unique_ptr<Port> jack;
    std::deque<Attempt> queue;
    VirtualTime idleAt{};  // its own last frame and the gap behind it are over
    AccessCounts counts;
  };

  Transmission send(std::size_t port, WireFrame frame, SendDone done);
  bool cutOff(std::uint64_t ticket);
  void tryAt(std::size_t port, VirtualTime at);
  void tryToSend(std::size_t port);
  void putOnWire(std::size_t port);
  // `carriers` index bursts_.
  void collideWith(std::size_t port, const std::vector<std::size_t>& carriers);
  void collide(std::size_t port, VirtualTime at);
  void cameThrough(std::size_t port);
  void finish(std::size_t port, const SendOutcome& outcome, VirtualTime at);
  void deliver(std::size_t to, const WireFrame& frame);
  void prune();
  [[nodiscard]] Burst* burstOf(std::uint64_t ticket);
  [[nodiscard]] Duration slot() const { return slotTime(rate_); }
  [[nodiscard]] Duration gap() const { return interFrameGap(rate_); }

  Clock& clock_;
  BitRate rate_;
  WorldRandom& random_;
  std::vector<PortState> ports_;
  std::vector<Burst> bursts_;  // on the segment, or their gap not yet over
  std::uint64_t nextTicket_ = 1;
  std::vector<Observer> observers_;
  std::vector<GiveUpObserver> giveUpObservers_;
  Liveness liveness_;
};

}  // namespace kl::sim::net
