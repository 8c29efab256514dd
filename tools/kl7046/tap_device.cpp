#include "kl7046/tap_device.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace kl::tools {

namespace {

constexpr std::size_t kLargestFrame = 1514;

std::system_error failure(const std::string& what) {
  return std::system_error(errno, std::generic_category(), what);
}

ifreq requestFor(const std::string& name) {
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return request;
}

// A socket to ask the stack about an interface, closed when done.
class ControlSocket {
 public:
  ControlSocket() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;
  ~ControlSocket() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

TapDevice::TapDevice(const std::string& name) : name_(name) {
  if (name.empty() || name.size() >= IFNAMSIZ) {
    errno = EINVAL;
    throw failure("TAP device name '" + name + "'");
  }
  fd_ = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    throw failure("cannot open /dev/net/tun for TAP device " + name);
  }
  ifreq request = requestFor(name);
  request.ifr_flags = IFF_TAP | IFF_NO_PI;
  if (::ioctl(fd_, TUNSETIFF, &request) < 0) {
    const int error = errno;
    ::close(fd_);
    errno = error;
    throw failure("cannot create or attach TAP device " + name);
  }
}

TapDevice::~TapDevice() { ::close(fd_); }

std::optional<std::vector<std::uint8_t>> TapDevice::read() {
  std::vector<std::uint8_t> frame(kLargestFrame + 64);
  const ssize_t length = ::read(fd_, frame.data(), frame.size());
  if (length <= 0) {
    return std::nullopt;
  }
  frame.resize(static_cast<std::size_t>(length));
  return frame;
}

bool TapDevice::write(std::span<const std::uint8_t> frame) {
  return ::write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

void TapDevice::setAddress(const std::array<std::uint8_t, 6>& address) {
  const ControlSocket control;
  ifreq request = requestFor(name_);
  request.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  std::memcpy(request.ifr_hwaddr.sa_data, address.data(), address.size());
  if (::ioctl(control.fd(), SIOCSIFHWADDR, &request) < 0) {
    throw failure("cannot set the address of " + name_);
  }
}

unsigned TapDevice::flags() const {
  const ControlSocket control;
  ifreq request = requestFor(name_);
  if (::ioctl(control.fd(), SIOCGIFFLAGS, &request) < 0) {
    return 0;
  }
  return static_cast<unsigned short>(request.ifr_flags);
}

std::vector<std::array<std::uint8_t, 6>> TapDevice::multicastGroups() const {
  // Each line: index, interface, users, global users, the address in hex.
  std::vector<std::array<std::uint8_t, 6>> groups;
  std::ifstream table("/proc/net/dev_mcast");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string index;
    std::string interface;
    std::string users;
    std::string global;
    std::string hex;
    if (!(fields >> index >> interface >> users >> global >> hex) || interface != name_ ||
        hex.size() != 12) {
      continue;
    }
    std::array<std::uint8_t, 6> group{};
    for (std::size_t i = 0; i < group.size(); ++i) {
      group[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    groups.push_back(group);
  }
  return groups;
}

}  // namespace kl::tools
