#include "kl7046/progress_bar.h"

#include <string>

namespace kl::tools {

namespace {

using namespace std::chrono_literals;

constexpr auto kDelay = 500ms;
constexpr auto kRedraw = 100ms;
constexpr std::size_t kWidth = 40;

}  // namespace

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
  if (!enabled_ || total == 0) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < kDelay || now - lastDraw_ < kRedraw) {
    return;
  }
  lastDraw_ = now;
  drawn_ = true;
  const std::uint64_t shown = done < total ? done : total;
  const std::size_t filled = static_cast<std::size_t>(shown * kWidth / total);
  out_ << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
       << shown * 100 / total << "% " << shown << '/' << total << " frames" << std::flush;
}

void ProgressBar::finish() {
  if (drawn_) {
    out_ << '\r' << std::string(kWidth + 40, ' ') << '\r' << std::flush;
  }
}

}  // namespace kl::tools
