#include "kl7046/stop_signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kl::tools {

namespace {

sigset_t stopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

StopSignals::StopSignals() {
  const sigset_t set = stopSet();
  if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, &previous_); error != 0) {
    throw std::system_error(error, std::generic_category(), "cannot block SIGINT and SIGTERM");
  }
  fd_ = OwnedFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd_.valid()) {
    const int error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    throw std::system_error(error, std::generic_category(), "cannot open a signalfd");
  }
}

// What arrived since the last look is taken first, so that unblocking does
// not deliver it.
StopSignals::~StopSignals() {
  (void)raised();
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

bool StopSignals::raised() {
  signalfd_siginfo info{};
  bool any = false;
  while (::read(fd_.get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    any = true;
  }
  return any;
}

}  // namespace kl::tools
