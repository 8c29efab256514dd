// Half-duplex access to a cable's wire (CSMA/CD, IEEE 802.3 clause 4), for
// the frames of an end whose MAC runs half duplex, and the full-duplex frames
// of the other end as such a MAC meets them.
//
// The cable does not place its ends along the wire: it stands for a segment
// of the largest size the slot time allows. An end that starts sending while
// the other end's frame began less than one slot time before has not heard
// it yet, and the two collide; a later start hears the carrier and defers
// until that frame and the inter-frame gap have passed. A collision is seen
// by a half-duplex MAC at once: it sends the jam, stops, and tries again
// after the truncated binary exponential backoff (0 to 2^min(n, 10) - 1 slot
// times after its n-th collision, drawn from the world's generator), up to
// 16 attempts. What the far end receives of a frame cut short is its bytes up
// to the collision and the jam: a runt when the collision came within the
// slot time, a frame with a wrong FCS after it.
//
// A full-duplex MAC neither listens nor stops. Facing a half-duplex one (a
// duplex mismatch), its frames start whenever it sends them: one that starts
// while the half-duplex end is sending is a collision there (a late one past
// the slot time), and the half-duplex end, busy sending, never takes it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "sim/core/clock.h"
#include "sim/core/inline_function.h"
#include "sim/core/liveness.h"
#include "sim/core/random.h"
#include "sim/net/ethernet.h"
#include "sim/net/station.h"

namespace kl::sim::net {

// How a frame's transmission ended, as the MAC that sent it learns it.
struct SendOutcome {
  unsigned collisions = 0;     // attempts that collided
  bool lateCollision = false;  // one of them after the slot time
  bool aborted = false;        // given up after kAttemptLimit attempts
};
// What a sender is told when its frame is through or given up; kept inline,
// so that a frame's way across the wire allocates nothing of its own.
using SendDone = InlineFunction<void(const SendOutcome&), 48>;

// One collision as the end that saw it handled it.
struct CollisionReport {
  unsigned collisions = 0;  // of this frame, this one included
  VirtualTime at{};         // seen
  VirtualTime jamEnd{};     // the end stopped sending
  // When it tries again, after its backoff; none when it gives the frame up.
  std::optional<VirtualTime> retryAt;
};

// What medium access did to the frames of one end.
struct AccessCounts {
  std::uint64_t deferrals = 0;
  std::uint64_t collisions = 0;
  std::uint64_t lateCollisions = 0;
  std::uint64_t aborts = 0;
};

// What a receiver gets of `frame` when a collision cut it short after
// `onWire` on the wire: its bytes up to the collision and the jam, with a
// wrong FCS; nothing when only the preamble went out.
[[nodiscard]] WireFrame collisionFragment(const WireFrame& frame, Duration onWire, BitRate rate);

class MediumAccess {
 public:
  // The cable under the medium access: the two ends are numbered 0 and 1.
  class Wire {
   public:
    Wire() = default;
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;
    virtual ~Wire() = default;

    [[nodiscard]] virtual BitRate wireRate() const = 0;
    // The last bit of a frame from `from` came through whole, now.
    virtual void arrivedWhole(std::size_t from, const WireFrame& frame) = 0;
    // What came through of a frame from `from` that a collision cut short.
    virtual void arrivedCut(std::size_t from, const WireFrame& fragment) = 0;
    // A full-duplex frame the far end, sending half duplex, will not take.
    virtual void lostAtFar(std::uint64_t ticket) = 0;
    virtual void collided(std::size_t side, const CollisionReport& report) = 0;
  };

  MediumAccess(Clock& clock, Wire& wire) : clock_(clock), wire_(wire) {}
  MediumAccess(const MediumAccess&) = delete;
  MediumAccess& operator=(const MediumAccess&) = delete;
  ~MediumAccess() = default;

  // Backoff draws come from `random` from now on (by default from a
  // generator of the medium's own, with the default seed).
  void useRandom(WorldRandom& random) { random_ = &random; }

  // A frame of the half-duplex end `side`, sent after the frames it already
  // has queued. `done` gets the outcome once the frame and the inter-frame
  // gap have passed, or when the frame is given up.
  void send(std::size_t side, std::uint64_t ticket, WireFrame frame, SendDone done);
  // A frame of the full-duplex end `side`: on the wire from `start` to `end`
  // whatever else is there.
  void fullDuplexFrame(std::size_t side, std::uint64_t ticket, VirtualTime start, VirtualTime end);
  // The sender stopped: the frame `ticket` leaves the wire now, or never
  // goes there. Returns whether it was still waiting, sending or retrying.
  bool cutOff(std::uint64_t ticket);

  // When the wire is free for `side`'s next frame: its last one and the gap
  // behind it are over.
  [[nodiscard]] VirtualTime idleAt(std::size_t side) const;
  [[nodiscard]] const AccessCounts& counts(std::size_t side) const { return ends_.at(side).counts; }

 private:
  // A frame as it occupies one direction of the wire.
  struct Burst {
    std::uint64_t ticket = 0;
    VirtualTime start{};
    VirtualTime end{};
    bool fullDuplex = false;
    bool heardByFar = false;  // the far end collided with it, so it knows it is there
  };
  // A half-duplex frame until it came through or was given up.
  struct Attempt {
    std::uint64_t ticket = 0;
    WireFrame frame;
    SendDone done;
    unsigned collisions = 0;
    bool late = false;
    bool onWire = false;
    VirtualTime start{};
    std::optional<Clock::EventId> next;   // the next try, or the frame's end
    std::optional<Clock::EventId> watch;  // a far full-duplex frame starting meanwhile
  };
  struct End {
    std::deque<Burst> bursts;
    std::deque<Attempt> queue;
    AccessCounts counts;
  };

  static std::size_t farOf(std::size_t side) { return 1 - side; }
  void tryToSend(std::size_t side);
  void tryAt(std::size_t side, VirtualTime at);
  void putOnWire(std::size_t side);
  void watchFar(std::size_t side);
  void farFrameStarted(std::size_t side);
  void collide(std::size_t side, VirtualTime at);
  void cameThrough(std::size_t side);
  void finish(std::size_t side, const SendOutcome& outcome, VirtualTime at);
  void cancelEvents(Attempt& attempt);
  void prune(End& end);
  [[nodiscard]] Burst* burstOf(End& end, std::uint64_t ticket);
  [[nodiscard]] VirtualTime quietAt(const End& far, VirtualTime now) const;
  [[nodiscard]] WireFrame fragmentOf(const Attempt& attempt, VirtualTime at) const;
  [[nodiscard]] Duration gap() const { return interFrameGap(wire_.wireRate()); }

  Clock& clock_;
  Wire& wire_;
  WorldRandom ownRandom_;
  WorldRandom* random_ = &ownRandom_;
  std::array<End, 2> ends_;
  Liveness liveness_;
};

}  // namespace kl::sim::net
