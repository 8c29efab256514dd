// The kl7046 program's command line: its commands and every option of each,
// declared once for both the parser and the help text.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kl7046/bridge.h"
#include "kl7046/demo.h"
#include "kl7046/trace.h"

namespace kl::tools {

// Text the program prints on standard output before exiting 0: the help or
// the version.
struct Shown {
  std::string text;
};

// A command line the program turns away with exit status 2, and the one
// line that says what is wrong with it.
struct Refused {
  std::string reason;
};

using CommandLine = std::variant<DemoOptions, TraceOptions, BridgeOptions, Shown, Refused>;

// The arguments after the program's name. A line that does not start with a
// command is the demo's.
[[nodiscard]] CommandLine parseCommandLine(const std::vector<std::string_view>& args);

}  // namespace kl::tools
