// A Linux TAP device: an Ethernet interface whose frames a program reads
// and writes through a file descriptor. Opening one that does not exist
// creates it; one that exists is attached. InterfaceView sees the interface
// as its network namespace does.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct ifreq;  // <linux/if.h>

namespace kl::tools {

// An interface request naming `name`, cut to what the kernel takes, all else
// zero: what the TAP and interface ioctls start from.
[[nodiscard]] ifreq interfaceRequest(const std::string& name);

class TapDevice {
 public:
  // Throws std::system_error naming the device when it cannot be opened.
  explicit TapDevice(const std::string& name);
  TapDevice(const TapDevice&) = delete;
  TapDevice& operator=(const TapDevice&) = delete;
  ~TapDevice();

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] int fd() const { return fd_; }

  // Room for any frame the interface's stack sends.
  static constexpr std::size_t kFrameRoom = 1514 + 64;

  // The next frame the interface's stack sent, read into `room`, if one is
  // waiting.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> read(
      std::span<std::uint8_t, kFrameRoom> room);
  // Hands `frame` to the interface's stack as received; returns whether it
  // took it (an interface that is down takes nothing).
  bool write(std::span<const std::uint8_t> frame);

 private:
  std::string name_;
  int fd_ = -1;
};

}  // namespace kl::tools
