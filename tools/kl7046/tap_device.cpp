#include "kl7046/tap_device.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kl::tools {

namespace {

std::system_error failure(const std::string& what) {
  return {errno, std::generic_category(), what};
}

}  // namespace

ifreq interfaceRequest(const std::string& name) {
  ifreq request{};
  name.copy(request.ifr_name, IFNAMSIZ - 1);
  return request;
}

TapDevice::TapDevice(const std::string& name) : name_(name) {
  if (name.empty() || name.size() >= IFNAMSIZ) {
    errno = EINVAL;
    throw failure("TAP device name '" + name + "'");
  }
  fd_ = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    throw failure("cannot open /dev/net/tun for TAP device " + name);
  }
  ifreq request = interfaceRequest(name);
  request.ifr_flags = IFF_TAP | IFF_NO_PI;
  if (::ioctl(fd_, TUNSETIFF, &request) < 0) {
    const int error = errno;
    ::close(fd_);
    errno = error;
    throw failure("cannot create or attach TAP device " + name);
  }
}

TapDevice::~TapDevice() { ::close(fd_); }

std::optional<std::span<const std::uint8_t>> TapDevice::read(
    std::span<std::uint8_t, kFrameRoom> room) {
  const ssize_t length = ::read(fd_, room.data(), room.size());
  if (length <= 0) {
    return std::nullopt;
  }
  return room.first(static_cast<std::size_t>(length));
}

bool TapDevice::write(std::span<const std::uint8_t> frame) {
  return ::write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

}  // namespace kl::tools
