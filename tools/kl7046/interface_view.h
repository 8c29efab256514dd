// A TAP device's interface as the network namespace it lives in sees it: its
// flags, its link-layer multicast memberships, its hardware address and the
// frames its transmit queue dropped.
//
// A TAP device can be moved into another namespace (and renamed there) at
// any time, while the program keeps its file descriptor. The descriptor
// names the namespace the device is in now; the view follows it there,
// making a control socket and opening the namespace's multicast table from a
// helper thread that enters the namespace, since a socket and an open
// /proc/net file keep the namespace they were made in.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kl7046/tap_device.h"

namespace kl::tools {

// A file descriptor, closed when it goes.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept;
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd();

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

struct InterfaceState {
  unsigned flags = 0;  // IFF_*
  std::vector<std::array<std::uint8_t, 6>> groups;
};

class InterfaceView {
 public:
  explicit InterfaceView(const TapDevice& tap) : tap_(tap) {}

  // The interface as it is now, or what kept the view from it (the device's
  // namespace cannot be named or entered) in `error`.
  [[nodiscard]] std::optional<InterfaceState> read(std::string& error);
  // The frames the interface's stack sent that its queue dropped, full
  // because the program did not read them in time; nothing, with `error`
  // set, when the namespace's table cannot be read.
  [[nodiscard]] std::optional<std::uint64_t> queueDrops(std::string& error);
  // Throws std::system_error when the address cannot be set.
  void setAddress(const std::array<std::uint8_t, 6>& address);

 private:
  // Makes the control socket and the table belong to the namespace the
  // device is in now. False, with `error` set, when that cannot be done.
  bool follow(std::string& error);
  // The device's name in its namespace now.
  [[nodiscard]] std::optional<std::string> currentName() const;

  const TapDevice& tap_;
  std::optional<ino_t> namespace_;
  OwnedFd control_;
  OwnedFd table_;
  OwnedFd devices_;
};

}  // namespace kl::tools
