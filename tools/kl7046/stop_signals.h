// SIGINT and SIGTERM taken as a readable descriptor instead of by a handler:
// the bridge waits for its TAP devices and for a request to stop in one
// poll, and nothing runs asynchronously to the machine it paces.
#pragma once

#include <csignal>

#include "kl7046/interface_view.h"

namespace kl::tools {

class StopSignals {
 public:
  // Blocks the signals on this thread (threads started later inherit that)
  // and opens the descriptor. Throws std::system_error when it cannot.
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  // Takes what is pending and restores the signal mask found at construction.
  ~StopSignals();

  [[nodiscard]] int fd() const { return fd_.get(); }
  // Whether a stop was asked for since the last look; takes the pending
  // signals, never blocks.
  [[nodiscard]] bool raised();

 private:
  sigset_t previous_{};
  OwnedFd fd_;
};

}  // namespace kl::tools
