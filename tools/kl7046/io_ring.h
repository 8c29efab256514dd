// An io_uring for reads and writes of TAP devices: many frames handed to
// the kernel in one system call, where a read or write per frame costs a
// system call each (on a virtualised host about as much as the rest of a
// small frame's trip).
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace kl::tools {

class IoRing {
 public:
  // Nothing where the kernel offers no io_uring (too old, switched off, or
  // a user-mode emulator that does not pass it through), or one without the
  // single mapping of both queues (every kernel since 5.4 has it).
  static std::unique_ptr<IoRing> open(unsigned entries);

  IoRing(const IoRing&) = delete;
  IoRing& operator=(const IoRing&) = delete;
  ~IoRing();

  // Queue a write of `bytes` to `fd`, or a read into `room` that finds a
  // device with nothing waiting empty at once rather than waiting for it.
  // `tag` is where the result goes when submitted; at most `entries` may be
  // queued.
  void queueWrite(int fd, std::span<const std::uint8_t> bytes, std::uint32_t tag);
  void queueRead(int fd, std::span<std::uint8_t> room, std::uint32_t tag);

  // Submits what is queued in one system call and waits until all of it is
  // done, in the order queued; `results[tag]` gets what write() or read()
  // would have returned (a negative errno for an error). Throws
  // std::system_error when the ring itself fails.
  void submit(std::span<std::int32_t> results);

 private:
  class Queues;
  explicit IoRing(std::unique_ptr<Queues> queues);

  std::unique_ptr<Queues> queues_;
};

}  // namespace kl::tools
