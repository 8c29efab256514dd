#include "sim/bus/trace_format.h"

#include <chrono>
#include <cstdio>

namespace kl::sim {

std::string formatAccess(const PortAccess& access) {
  const auto nanoseconds =
      std::chrono::duration_cast<std::chrono::nanoseconds>(access.time).count();
  const char direction = access.direction == Direction::Read ? 'R' : 'W';
  const std::string name = access.name.empty() ? "?" : std::string(access.name);
  const int digits = access.width == 2 ? 4 : 2;
  char line[128];
  if (access.count == 1) {
    std::snprintf(line, sizeof line, "%9lld.%03lld us  %c  0x%03X %-7s = 0x%0*X",
                  static_cast<long long>(nanoseconds / 1000),
                  static_cast<long long>(nanoseconds % 1000), direction,
                  static_cast<unsigned>(access.port), name.c_str(), digits,
                  static_cast<unsigned>(access.value));
  } else {
    std::snprintf(line, sizeof line, "%9lld.%03lld us  %c  0x%03X %-7s x %u %s, first 0x%0*X",
                  static_cast<long long>(nanoseconds / 1000),
                  static_cast<long long>(nanoseconds % 1000), direction,
                  static_cast<unsigned>(access.port), name.c_str(),
                  static_cast<unsigned>(access.count), access.width == 2 ? "words" : "bytes",
                  digits, static_cast<unsigned>(access.value));
  }
  return line;
}

}  // namespace kl::sim
