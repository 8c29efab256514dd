#include "kl7046/demo_options.h"

#include <algorithm>
#include <charconv>

#include "kl7046/bus_cycles.h"
#include "sim/world/test_frames.h"

namespace kl::tools {

namespace {

template <class T>
bool parseNumber(std::string_view text, T& value) {
  const int base = text.starts_with("0x") ? 16 : 10;
  if (base == 16) {
    text.remove_prefix(2);
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

// Reads one option's value into `options`; false with `error` set when the
// option is unknown or its value is not one it takes.
bool takeOption(std::string_view name, std::string_view value, DemoOptions& options,
                std::string& error) {
  const auto bad = [&](std::string_view expected) {
    error = std::string(name) + " takes " + std::string(expected) + ", not '" + std::string(value) +
            "'";
    return false;
  };
  if (name == "--frames") {
    return parseNumber(value, options.frames) || bad("a number of frames");
  }
  if (name == "--min-size") {
    return parseNumber(value, options.minSize) || bad("a frame size in bytes");
  }
  if (name == "--max-size") {
    return parseNumber(value, options.maxSize) || bad("a frame size in bytes");
  }
  if (name == "--bus-width") {
    return (parseNumber(value, options.busWidth) &&
            (options.busWidth == 8 || options.busWidth == 16)) ||
           bad("8 or 16");
  }
  if (name == "--card-type") {
    return parseNumber(value, options.cardType) || bad("a card type number");
  }
  if (name == "--speed") {
    unsigned speed = 0;
    if (!parseNumber(value, speed) || (speed != 10 && speed != 100)) {
      return bad("10 or 100");
    }
    options.speed = speed;
    return true;
  }
  if (name == "--duplex") {
    if (value == "auto" || value == "half" || value == "full") {
      options.duplex = value == "auto"   ? DuplexChoice::Auto
                       : value == "half" ? DuplexChoice::Half
                                         : DuplexChoice::Full;
      return true;
    }
    return bad("auto, half or full");
  }
  if (name == "--corrupt") {
    return parseNumber(value, options.corruptFrames) || bad("a number of frames");
  }
  if (name == "--bus-cycle") {
    options.busCycles = parseBusCycles(value);
    return options.busCycles.has_value() || bad("typical, fastest, NS or NS8,NS16");
  }
  if (name == "--seed") {
    return parseNumber(value, options.seed) || bad("a number");
  }
  if (name == "--pcap" || name == "--config" || name == "--driver") {
    if (value.empty()) {
      return bad("a file name");
    }
    (name == "--pcap"     ? options.pcap
     : name == "--config" ? options.config
                          : options.driver) = std::string(value);
    return true;
  }
  error = "unknown option '" + std::string(name) + "'";
  return false;
}

constexpr std::string_view kValueOptions[] = {
    "--frames", "--min-size", "--max-size", "--bus-width", "--card-type", "--speed",    "--duplex",
    "--seed",   "--pcap",     "--config",   "--driver",    "--corrupt",   "--bus-cycle"};

bool takesValue(std::string_view name) {
  return std::find(std::begin(kValueOptions), std::end(kValueOptions), name) !=
         std::end(kValueOptions);
}

bool checkSizes(const DemoOptions& options, std::string& error) {
  constexpr std::size_t kSmallest = sim::world::kTestHeaderBytes;
  constexpr std::size_t kLargest = sim::world::kLargestTestFrame;
  if (options.minSize < kSmallest || options.maxSize > kLargest ||
      options.minSize > options.maxSize) {
    error = "frame sizes must satisfy " + std::to_string(kSmallest) +
            " <= --min-size <= --max-size <= " + std::to_string(kLargest);
    return false;
  }
  return true;
}

}  // namespace

std::optional<DemoOptions> parseDemoOptions(const std::vector<std::string_view>& args,
                                            std::string& error) {
  DemoOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if (!arg.starts_with("--")) {
      error = "unexpected argument '" + std::string(arg) + "'";
      return std::nullopt;
    }
    // Both "--name value" and "--name=value".
    std::string_view name = arg;
    std::string_view value;
    if (const std::size_t equals = arg.find('='); equals != arg.npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else if (!takesValue(name)) {
      error = "unknown option '" + std::string(name) + "'";
      return std::nullopt;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = std::string(arg) + " needs a value";
      return std::nullopt;
    }
    if (!takeOption(name, value, options, error)) {
      return std::nullopt;
    }
  }
  if (!checkSizes(options, error)) {
    return std::nullopt;
  }
  if (options.cardType == 1 && options.busWidth == 8) {
    error = "--card-type 1 is the PC Card, which is always word-wide";
    return std::nullopt;
  }
  return options;
}

std::uint32_t connectionTypeOf(const DemoOptions& options) {
  if (!options.speed && options.duplex == DuplexChoice::Auto) {
    return 0;
  }
  // A forced duplex alone keeps the faster speed; a speed alone runs full
  // duplex, which both ends then force alike.
  const bool ten = options.speed == 10U;
  const bool half = options.duplex == DuplexChoice::Half;
  return ten ? (half ? 1 : 2) : (half ? 3 : 4);
}

}  // namespace kl::tools
