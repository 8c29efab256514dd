#include "kl7046/interface_view.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <net/if_arp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace kl::tools {

namespace {

// The link-layer multicast table of the namespace the reading thread is in.
constexpr const char* kMulticastTable = "/proc/thread-self/net/dev_mcast";
// Each interface's counters, in the same namespace.
constexpr const char* kDeviceTable = "/proc/thread-self/net/dev";
// In a line of the device table, after "name:", the receive counters (bytes,
// packets, errs, drop, fifo, frame, compressed, multicast) and then the
// transmit ones (bytes, packets, errs, drop, ...).
constexpr std::size_t kTransmitDropField = 11;
constexpr const char* kOwnNamespace = "/proc/self/ns/net";

std::string describe(int error) { return std::strerror(error); }

std::optional<ino_t> inodeOf(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return std::nullopt;
  }
  return status.st_ino;
}

// A control socket and the multicast table, made by a thread that entered
// the namespace `namespaceFd` names (or stayed in the program's own, for -1).
struct NamespaceHandles {
  OwnedFd control;
  OwnedFd table;
  OwnedFd devices;
  int error = 0;
};

NamespaceHandles openIn(int namespaceFd) {
  NamespaceHandles handles;
  std::thread([&handles, namespaceFd] {
    if (namespaceFd >= 0 && ::setns(namespaceFd, CLONE_NEWNET) != 0) {
      handles.error = errno;
      return;
    }
    handles.control = OwnedFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!handles.control.valid()) {
      handles.error = errno;
      return;
    }
    handles.table = OwnedFd(::open(kMulticastTable, O_RDONLY | O_CLOEXEC));
    handles.devices = OwnedFd(::open(kDeviceTable, O_RDONLY | O_CLOEXEC));
    if (!handles.table.valid() || !handles.devices.valid()) {
      handles.error = errno;
    }
  }).join();
  return handles;
}

// Each line: index, interface, users, global users, the address in hex.
std::vector<std::array<std::uint8_t, 6>> groupsIn(const std::string& table,
                                                  const std::string& name) {
  std::vector<std::array<std::uint8_t, 6>> groups;
  std::istringstream lines(table);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string index;
    std::string interface;
    std::string users;
    std::string global;
    std::string hex;
    if (!(fields >> index >> interface >> users >> global >> hex) || interface != name ||
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

// The whole of a /proc table, read again from its start; false on an error.
bool readTable(int fd, std::string& table) {
  char chunk[4096];
  ssize_t length = 0;
  ::lseek(fd, 0, SEEK_SET);
  while ((length = ::read(fd, chunk, sizeof(chunk))) > 0) {
    table.append(chunk, static_cast<std::size_t>(length));
  }
  return length == 0;
}

std::optional<std::uint64_t> transmitDropsIn(const std::string& table, const std::string& name) {
  std::istringstream lines(table);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(':');
    std::istringstream label(line.substr(0, colon));
    std::string interface;
    if (colon == std::string::npos || !(label >> interface) || interface != name) {
      continue;
    }
    std::istringstream fields(line.substr(colon + 1));
    std::uint64_t value = 0;
    for (std::size_t field = 0; field <= kTransmitDropField && fields >> value; ++field) {
      if (field == kTransmitDropField) {
        return value;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = other.release();
  }
  return *this;
}

OwnedFd::~OwnedFd() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

bool InterfaceView::follow(std::string& error) {
  const OwnedFd deviceNamespace(::ioctl(tap_.fd(), TUNGETDEVNETNS));
  const std::optional<ino_t> inode =
      deviceNamespace.valid() ? inodeOf(deviceNamespace.get()) : std::nullopt;
  if (!inode) {
    error = "cannot name the network namespace of " + tap_.name() + ": " + describe(errno);
    return false;
  }
  if (inode == namespace_) {
    return true;
  }
  struct stat own {};
  const bool ours = ::stat(kOwnNamespace, &own) == 0 && own.st_ino == *inode;
  NamespaceHandles handles = openIn(ours ? -1 : deviceNamespace.get());
  if (handles.error != 0) {
    error = "cannot enter the network namespace of " + tap_.name() + ": " + describe(handles.error);
    namespace_.reset();
    return false;
  }
  control_ = std::move(handles.control);
  table_ = std::move(handles.table);
  devices_ = std::move(handles.devices);
  namespace_ = inode;
  return true;
}

std::optional<std::string> InterfaceView::currentName() const {
  ifreq request{};
  if (::ioctl(tap_.fd(), TUNGETIFF, &request) < 0) {
    return std::nullopt;
  }
  return std::string(request.ifr_name, ::strnlen(request.ifr_name, IFNAMSIZ));
}

std::optional<InterfaceState> InterfaceView::read(std::string& error) {
  if (!follow(error)) {
    return std::nullopt;
  }
  const std::optional<std::string> name = currentName();
  ifreq request = interfaceRequest(name.value_or(tap_.name()));
  if (!name || ::ioctl(control_.get(), SIOCGIFFLAGS, &request) < 0) {
    error = "cannot read the flags of " + tap_.name() + ": " + describe(errno);
    return std::nullopt;
  }
  std::string table;
  if (!readTable(table_.get(), table)) {
    error = "cannot read the multicast memberships of " + tap_.name() + ": " + describe(errno);
    return std::nullopt;
  }
  return InterfaceState{static_cast<unsigned short>(request.ifr_flags), groupsIn(table, *name)};
}

std::optional<std::uint64_t> InterfaceView::queueDrops(std::string& error) {
  if (!follow(error)) {
    return std::nullopt;
  }
  const std::optional<std::string> name = currentName();
  std::string table;
  std::optional<std::uint64_t> drops;
  if (name && readTable(devices_.get(), table)) {
    drops = transmitDropsIn(table, *name);
  }
  if (!drops) {
    error = "cannot read the counters of " + tap_.name();
  }
  return drops;
}

void InterfaceView::setAddress(const std::array<std::uint8_t, 6>& address) {
  std::string error;
  if (!follow(error)) {
    throw std::runtime_error(error);
  }
  ifreq request = interfaceRequest(currentName().value_or(tap_.name()));
  request.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  std::memcpy(request.ifr_hwaddr.sa_data, address.data(), address.size());
  if (::ioctl(control_.get(), SIOCSIFHWADDR, &request) < 0) {
    throw std::runtime_error("cannot set the address of " + tap_.name() + ": " + describe(errno));
  }
}

}  // namespace kl::tools
