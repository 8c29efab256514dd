// A progress bar on a terminal, for runs that take more than a moment: it
// appears once a run has taken half a second of host time and redraws at
// most ten times a second. Off when the output is not a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>

namespace kl::tools {

class ProgressBar {
 public:
  ProgressBar(std::ostream& out, bool enabled)
      : out_(out), enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

  void update(std::uint64_t done, std::uint64_t total);
  // Clears the bar, if it was drawn.
  void finish();

 private:
  std::ostream& out_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace kl::tools
