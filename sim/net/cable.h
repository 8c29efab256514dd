// A cable between two Ethernet stations, on the world's virtual clock.
//
// Plugging something in:
//   1. Implement net::Station (frameArrived gets every frame that reaches
//      your end, FCS included, when its last bit arrives), or use
//      net::FrameEndpoint, which does that and keeps what arrives.
//   2. cable.end(Cable::Side::B).plug(station). A card plugs itself in with
//      card.plugInto(cable.end(Cable::Side::A)).
//   3. Send with end.send(WireFrame{net::withFcs(bytes)}): the frame leaves
//      at once, or when the frame this end sent before it has left (frame
//      time plus inter-frame gap), and reaches the far end one frame time
//      after it left. Nothing else is needed; the clock does the rest, so
//      something must run it (Machine::runFor, or a paced loop for a bridge).
//      A sender that wants to know how its frame went passes a SendDone.
//   4. cable.onFrame(...) sees every frame the cable carries, as it arrives;
//      a PcapWriter hangs there.
//
// The cable must outlive what is plugged into it; the clock need not outlive
// the cable.
//
// Each end runs at its own bit rate (its PHY's speed); frames cross only
// while the cable is connected, both ends are plugged, and the two ends run
// at one rate. A frame the cable cannot carry is lost without a trace.
//
// Each end's MAC runs full duplex unless its station sets it to half duplex.
// Between two full-duplex ends each direction carries one frame at a time
// and does not look at the other. A half-duplex end's frames go through
// MediumAccess (carrier sense across both directions, collisions, jam,
// backoff), which also sees every frame of a full-duplex far end. Only
// frames that crossed whole reach the observers; the far station also gets
// what a collision left of a frame.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "sim/core/clock.h"
#include "sim/core/liveness.h"
#include "sim/core/random.h"
#include "sim/net/ethernet.h"
#include "sim/net/jack.h"
#include "sim/net/medium_access.h"
#include "sim/net/station.h"

namespace kl::sim::net {

class Cable : private MediumAccess::Wire {
 public:
  enum class Side : std::uint8_t { A, B };

  // A frame the cable delivered: from which end, and when its last bit came.
  using Observer = std::function<void(const WireFrame& frame, Side from, VirtualTime arrival)>;

  using Transmission = net::Transmission;

  class End final : public Jack {
   public:
    End(const End&) = delete;
    End& operator=(const End&) = delete;
    ~End() override = default;

    void plug(Station& station) override { station_ = &station; }
    void unplug() override { station_ = nullptr; }
    [[nodiscard]] bool plugged() const { return station_ != nullptr; }

    [[nodiscard]] BitRate bitRate() const override { return rate_; }
    void setBitRate(BitRate rate) override { rate_ = rate; }

    // Whether the transceiver at this end has a link to signal over. A PHY
    // without link neither sends nor hears; an end with no PHY model behind
    // it (a test's endpoint) always has one.
    [[nodiscard]] bool transceiverUp() const { return transceiverUp_; }
    void setTransceiverUp(bool up) override { transceiverUp_ = up; }

    // The far end is plugged and the cable connected.
    [[nodiscard]] bool linkUp() const;
    // Frames sent now would cross: the link is up, both transceivers have a
    // link and both ends agree on the bit rate.
    [[nodiscard]] bool carriesFrames() const override;

    // The MAC's duplex at this end, as its station last set it.
    [[nodiscard]] Duplex duplex() const { return duplex_; }
    void setDuplex(Duplex duplex) override { duplex_ = duplex; }

    // Puts `frame` on this end's direction of the wire. `done`, when given,
    // gets the outcome at the end of the inter-frame gap after the frame, or
    // when a half-duplex end gives the frame up; not when it is cut off.
    Transmission send(WireFrame frame, SendDone done) override;
    Transmission send(WireFrame frame) { return send(std::move(frame), {}); }
    // Cuts off a frame still on its way: it never arrives. Returns whether
    // there was still something to cut off.
    bool cutOff(const Transmission& transmission) override;

    // When this end's direction is free for the next frame.
    [[nodiscard]] VirtualTime idleAt() const { return idleAt_; }

   private:
    friend class Cable;
    End(Cable& cable, Side side, BitRate rate) : cable_(cable), side_(side), rate_(rate) {}

    [[nodiscard]] End& far() const;

    Cable& cable_;
    Side side_;
    BitRate rate_;
    Station* station_ = nullptr;
    bool transceiverUp_ = true;
    Duplex duplex_ = Duplex::Full;
    VirtualTime idleAt_{};
  };

  explicit Cable(Clock& clock, BitRate rate = BitRate::Mbit100);
  Cable(const Cable&) = delete;
  Cable& operator=(const Cable&) = delete;
  ~Cable() override = default;

  [[nodiscard]] End& end(Side side) { return side == Side::A ? a_ : b_; }
  [[nodiscard]] const End& end(Side side) const { return side == Side::A ? a_ : b_; }

  // Both ends at `rate`.
  void setBitRate(BitRate rate);
  // A disconnected cable carries nothing; frames on the wire when it is
  // pulled are lost.
  void setConnected(bool connected) { connected_ = connected; }
  [[nodiscard]] bool connected() const { return connected_; }

  void onFrame(Observer observer) { observers_.push_back(std::move(observer)); }
  // Sees every collision a half-duplex end meets, as it meets it.
  using CollisionObserver = std::function<void(Side side, const CollisionReport& report)>;
  void onCollision(CollisionObserver observer) {
    collisionObservers_.push_back(std::move(observer));
  }

  // Half-duplex backoff draws from `random`, the world's generator (by
  // default the cable has one of its own).
  void useRandom(WorldRandom& random) { access_.useRandom(random); }
  // What medium access did to the frames of the end at `side`.
  [[nodiscard]] const AccessCounts& accessCounts(Side side) const {
    return access_.counts(index(side));
  }

 private:
  // A full-duplex frame on its way.
  struct Flight {
    std::uint64_t ticket = 0;
    WireFrame frame;
    Clock::EventId arrival;
    std::optional<Clock::EventId> done;
    bool lostAtFar = false;
  };

  static std::size_t index(Side side) { return side == Side::A ? 0 : 1; }
  [[nodiscard]] End& endAt(std::size_t index) { return index == 0 ? a_ : b_; }
  // The earliest full-duplex frame from the end at `from` has arrived.
  void deliver(std::size_t from);

  // ---- MediumAccess::Wire.
  [[nodiscard]] BitRate wireRate() const override { return a_.rate_; }
  void arrivedWhole(std::size_t from, const WireFrame& frame) override;
  void arrivedCut(std::size_t from, const WireFrame& fragment) override;
  void lostAtFar(std::uint64_t ticket) override;
  void collided(std::size_t side, const CollisionReport& report) override;

  Clock& clock_;
  End a_;
  End b_;
  bool connected_ = true;
  std::vector<Observer> observers_;
  std::vector<CollisionObserver> collisionObservers_;
  // Full-duplex frames on their way, by the end that sent them, in the order
  // they arrive (an end sends one frame after the other).
  std::array<std::deque<Flight>, 2> inFlight_;
  std::uint64_t nextTicket_ = 1;
  MediumAccess access_{clock_, *this};
  Liveness liveness_;
};

}  // namespace kl::sim::net
