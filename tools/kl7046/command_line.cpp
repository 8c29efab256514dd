#include "kl7046/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <functional>
#include <optional>
#include <utility>

#include "kl7046/bus_cycles.h"
#include "sim/card/timing.h"
#include "sim/world/test_frames.h"

namespace kl::tools {

namespace {

constexpr std::string_view kCommands[] = {"demo", "trace", "bridge"};

constexpr const char* kProgram =
    "Runs the KL7046 driver on emulated cards: two of them exchanging\n"
    "checked traffic (demo, the command when none is named), one traced\n"
    "port access by port access (trace), or one carrying real traffic\n"
    "between two TAP devices (bridge).";

constexpr const char* kDemo =
    "Two emulated KL7046 cards on one cable in one machine, each brought up\n"
    "through the whole driver (DriverEntry, MiniportInitialize, PHY\n"
    "negotiation). A protocol on each sets the packet filter and a multicast\n"
    "list, then both send a seeded mix of unicast, broadcast and multicast\n"
    "frames of varied sizes and buffer chains, and check every frame that\n"
    "arrives. Exits 0 only when nothing was lost, duplicated or damaged, 1\n"
    "when something was, 2 for a bad command line. With --stations,\n"
    "--topology or --pattern: a network of 2 to 64 such stations, each a card\n"
    "with its own driver, on a hub, a learning switch or the cable, every\n"
    "station checking what its filter admits.";

constexpr const char* kTrace =
    "One card through bring-up, one send, one receive and a link change,\n"
    "printing every port access the driver makes: virtual time, port,\n"
    "register (by the page selected then), value and its bits named. Runs of\n"
    "MII management accesses are shown as the frames they carry.";

constexpr const char* kBridge =
    "One emulated card for real traffic: its cable goes to the --wire TAP\n"
    "device (the network the card is plugged into), the protocol above the\n"
    "driver to the --station TAP device (the station's own stack), which\n"
    "takes the adapter's address. Missing TAP devices are created. Runs in\n"
    "step with the wall clock until interrupted or --duration seconds, then\n"
    "prints its statistics. Needs CAP_NET_ADMIN.";

constexpr const char* kExamples =
    "Examples:\n"
    "  kl7046\n"
    "  kl7046 demo --frames 100000 --seed 1 --pcap cable.pcap\n"
    "  kl7046 demo --bus-width 8 --speed 10 --duplex half --json\n"
    "  kl7046 demo --timing slowest,break-link=1.4s --seed 9\n"
    "  kl7046 demo --stations 64 --topology switch --pattern incast --frames 50\n"
    "  kl7046 bridge --wire kl-wire --station kl-station --duration 60\n"
    "  kl7046 trace --vcd mii.vcd | less";

// What a validator says of a value it turns away; the option's name goes in
// front of it.
std::string refusal(std::string_view expected, const std::string& value) {
  return "takes " + std::string(expected) + ", not '" + value + "'";
}

// A value `accepts` approves, left as it is.
CLI::Validator accepting(std::function<bool(const std::string&)> accepts, std::string expected) {
  return {[accepts = std::move(accepts), expected = std::move(expected)](std::string& text) {
            return accepts(text) ? std::string() : refusal(expected, text);
          },
          ""};
}

CLI::Validator fileName() {
  return accepting([](const std::string& text) { return !text.empty(); }, "a file name");
}

// A whole number that fits a T, in decimal or, after 0x, in hex; passed on
// in plain decimal, since CLI11 would read a leading 0 as octal and let a
// negative number wrap round.
template <class T>
CLI::Validator wholeNumber(std::string expected) {
  return {[expected = std::move(expected)](std::string& text) {
            std::string_view digits = text;
            const int base = digits.starts_with("0x") ? 16 : 10;
            digits.remove_prefix(base == 16 ? 2 : 0);
            T value{};
            const auto [end, error] =
                std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
            if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size()) {
              return refusal(expected, text);
            }
            text = std::to_string(value);
            return std::string();
          },
          ""};
}

// One of a few words, passed on as the number it stands for.
template <class T>
CLI::Validator oneOf(std::vector<std::pair<std::string, T>> words, std::string expected) {
  return {[words = std::move(words), expected = std::move(expected)](std::string& text) {
            const auto word = std::ranges::find(words, text, &std::pair<std::string, T>::first);
            if (word == words.end()) {
              return refusal(expected, text);
            }
            text = std::to_string(static_cast<unsigned long long>(word->second));
            return std::string();
          },
          ""};
}

bool positiveSeconds(const std::string& text) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  return error == std::errc{} && end == text.data() + text.size() && seconds > 0;
}

// The first argument no option took, named as the refusal names it. The
// commands hand such arguments back rather than refuse them, so that the
// refusal can say which one is at fault.
std::optional<std::string> strayArgument(const CLI::App& command) {
  const std::vector<std::string> stray = command.remaining();
  if (stray.empty()) {
    return std::nullopt;
  }
  const std::string& first = stray.front();
  if (first.starts_with('-')) {
    return "unknown option '" + first.substr(0, first.find('=')) + "'";
  }
  return "unexpected argument '" + first + "'";
}

// The option CLI11 names at the start of an error's message.
std::string optionNamedIn(const CLI::Error& error) {
  const std::string message = error.what();
  return message.substr(0, message.find(':'));
}

constexpr std::size_t kMostStations = sim::world::kMostStations;
constexpr std::size_t kPerMachine = sim::world::kCardsPerMachine;

std::string checkDemo(const DemoOptions& options) {
  constexpr std::size_t kSmallest = sim::world::kTestHeaderBytes;
  constexpr std::size_t kLargest = sim::world::kLargestTestFrame;
  if (options.minSize < kSmallest || options.maxSize > kLargest ||
      options.minSize > options.maxSize) {
    return "frame sizes must satisfy " + std::to_string(kSmallest) +
           " <= --min-size <= --max-size <= " + std::to_string(kLargest);
  }
  if (options.cardType == 1 && options.busWidth == 8) {
    return "--card-type 1 is the PC Card, which is always word-wide";
  }
  if (options.stations && (*options.stations < 2 || *options.stations > kMostStations)) {
    return "--stations takes 2 to " + std::to_string(kMostStations) + " stations, not " +
           std::to_string(*options.stations);
  }
  if (options.perMachine && (*options.perMachine < 1 || *options.perMachine > kPerMachine)) {
    return "--per-machine takes 1 to " + std::to_string(kPerMachine) + " cards, not " +
           std::to_string(*options.perMachine);
  }
  return {};
}

std::string checkBridge(const BridgeOptions& options) {
  if (options.wire.empty() || options.station.empty()) {
    return "bridge needs --wire TAP and --station TAP";
  }
  if (options.wire == options.station) {
    return "--wire and --station must be two different TAP devices";
  }
  return {};
}

class Parser {
 public:
  Parser() {
    app_.set_version_flag("--version", "kl7046 " KL_VERSION, "show the program's version");
    app_.get_formatter()->label("SUBCOMMAND", "COMMAND");
    // --help shows every command with its options; after a command, that
    // command's alone.
    app_.set_help_flag();
    app_.set_help_all_flag("-h,--help", "show this text");
    app_.require_subcommand(1, 1);
    app_.footer(kExamples);
    declareDemo(*app_.add_subcommand("demo", kDemo)->group("Commands"));
    declareTrace(*app_.add_subcommand("trace", kTrace)->group("Commands"));
    declareBridge(*app_.add_subcommand("bridge", kBridge)->group("Commands"));
  }

  CommandLine parse(const std::vector<std::string_view>& args) {
    try {
      // CLI11 takes the arguments last first.
      std::vector<std::string> reversed(args.rbegin(), args.rend());
      app_.parse(reversed);
    } catch (const CLI::CallForAllHelp&) {
      return Shown{app_.help("", CLI::AppFormatMode::All)};
    } catch (const CLI::CallForVersion& version) {
      return Shown{std::string(version.what()) + "\n"};
    } catch (const CLI::ArgumentMismatch& error) {
      return Refused{optionNamedIn(error) + " needs a value"};
    } catch (const CLI::ValidationError& error) {
      const std::string name = optionNamedIn(error);
      return Refused{name + std::string(error.what()).substr(name.size() + 1)};
    } catch (const CLI::ParseError& error) {
      return Refused{error.what()};
    }
    const CLI::App& command = *app_.get_subcommands().front();
    if (const auto stray = strayArgument(command)) {
      return Refused{*stray};
    }
    if (command.get_name() == "trace") {
      return trace_;
    }
    const std::string problem =
        command.get_name() == "bridge" ? checkBridge(bridge_) : checkDemo(demo_);
    if (!problem.empty()) {
      return Refused{problem};
    }
    if (command.get_name() == "bridge") {
      return bridge_;
    }
    return demo_;
  }

 private:
  void declareDemo(CLI::App& command) {
    command.allow_extras();
    command.add_option("--frames", demo_.frames, "frames each way")
        ->transform(wholeNumber<std::uint64_t>("a number of frames"))
        ->capture_default_str()
        ->type_name("N");
    command
        .add_option("--min-size", demo_.minSize,
                    "smallest frame in bytes, without FCS; shorter\n"
                    "than 60 the driver pads")
        ->transform(wholeNumber<std::size_t>("a frame size in bytes"))
        ->capture_default_str()
        ->type_name("N");
    command.add_option("--max-size", demo_.maxSize, "largest frame")
        ->transform(wholeNumber<std::size_t>("a frame size in bytes"))
        ->capture_default_str()
        ->type_name("N");
    command.add_option("--bus-width", demo_.busWidth, "the cards' data path")
        ->transform(oneOf<unsigned>({{"8", 8}, {"16", 16}}, "8 or 16"))
        ->capture_default_str()
        ->type_name("8|16");
    command
        .add_option("--card-type", demo_.cardType,
                    "the CardType keyword: 0 probed, 1 the PC Card,\n"
                    "others fixed memory")
        ->transform(wholeNumber<std::uint32_t>("a card type number"))
        ->capture_default_str()
        ->type_name("N");
    command
        .add_option_function<unsigned>(
            "--speed", [this](unsigned speed) { demo_.speed = speed; },
            "force the link speed (default: negotiate)")
        ->transform(oneOf<unsigned>({{"10", 10}, {"100", 100}}, "10 or 100"))
        ->type_name("10|100");
    command
        .add_option("--duplex", demo_.duplex,
                    "force the duplex; a speed alone forces full\n"
                    "duplex, a duplex alone 100 Mbit/s")
        ->transform(oneOf<DuplexChoice>({{"auto", DuplexChoice::Auto},
                                         {"half", DuplexChoice::Half},
                                         {"full", DuplexChoice::Full}},
                                        "auto, half or full"))
        ->default_str("auto")
        ->type_name("auto|half|full");
    command.add_option("--seed", demo_.seed, "seed of the frames' sizes, destinations and chains")
        ->transform(wholeNumber<std::uint64_t>("a number"))
        ->capture_default_str()
        ->type_name("S");
    command
        .add_option_function<std::string>(
            "--bus-cycle",
            [this](const std::string& text) { demo_.busCycles = parseBusCycles(text); },
            "charge every port cycle to virtual time: typical\n"
            "(600 ns, a 16-bit PC Card I/O cycle as hosts run\n"
            "it), fastest (255 ns, the shortest the PC Card\n"
            "allows), NS, or NS8,NS16 for 8- and 16-bit cycles\n"
            "apart (default: an ideal bus, cycles take no time)")
        ->check(accepting([](const std::string& text) { return parseBusCycles(text).has_value(); },
                          "typical, fastest, NS or NS8,NS16"))
        ->type_name("T");
    command.add_option("--pcap", demo_.pcap, "capture the cable into FILE")
        ->check(fileName())
        ->type_name("FILE");
    declareNetwork(command);
    command
        .add_option("--config", demo_.config,
                    "the installation: registry keywords and card\n"
                    "settings of [adapter1] and [adapter2], and the\n"
                    "[machine]")
        ->check(fileName())
        ->type_name("FILE");
    declareDriver(command, demo_.driver);
    declareTiming(command, demo_.timing);
    command.add_flag("--json", demo_.json, "print the summary as one JSON object");
    command
        .add_option("--corrupt", demo_.corruptFrames,
                    "the second card's memory damages N frames once\n"
                    "stored, to see the check catch what the driver\n"
                    "cannot")
        ->transform(wholeNumber<unsigned>("a number of frames"))
        ->capture_default_str()
        ->type_name("N");
  }

  // A network of many stations.
  void declareNetwork(CLI::App& command) {
    command
        .add_option_function<std::size_t>(
            "--stations", [this](std::size_t count) { demo_.stations = count; },
            "stations on the network, 2 to 64, each a card\n"
            "with its own driver (2)")
        ->transform(wholeNumber<std::size_t>("a number of stations"))
        ->type_name("N");
    command
        .add_option_function<sim::world::Topology>(
            "--topology", [this](sim::world::Topology topology) { demo_.topology = topology; },
            "what joins them: a hub (one half-duplex\n"
            "segment), a learning switch, or the cable of two\n"
            "(cable for two stations, else switch)")
        ->transform(oneOf<sim::world::Topology>({{"hub", sim::world::Topology::Hub},
                                                 {"switch", sim::world::Topology::Switch},
                                                 {"cable", sim::world::Topology::Cable}},
                                                "hub, switch or cable"))
        ->type_name("hub|switch|cable");
    command
        .add_option_function<std::string>(
            "--pattern",
            [this](const std::string& text) { demo_.pattern = sim::world::patternNamed(text); },
            "all-to-all, incast (all to the first), multicast\n"
            "(the first to groups some joined) or storm (all\n"
            "to broadcast) (all-to-all)")
        ->check(accepting(
            [](const std::string& text) { return sim::world::patternNamed(text).has_value(); },
            "all-to-all, incast, multicast or storm"))
        ->type_name("P");
    command
        .add_option_function<std::size_t>(
            "--per-machine", [this](std::size_t count) { demo_.perMachine = count; },
            "cards each machine takes, 1 to 14 (14)")
        ->transform(wholeNumber<std::size_t>("a number of cards"))
        ->type_name("N");
    command
        .add_option_function<std::string>(
            "--pcap-port",
            [this](const std::string& text) {
              demo_.pcapPort = text == "all" ? std::nullopt : std::optional(std::stoul(text));
            },
            "on a switch, the station whose port --pcap\n"
            "captures, or all: each port into FILE-N (1)")
        ->check(accepting(
            [](const std::string& text) {
              return text == "all" ||
                     (!text.empty() && text.size() < 3 &&
                      std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; }) &&
                      std::stoul(text) >= 1);
            },
            "a station's number or all"))
        ->type_name("N|all");
  }

  void declareTrace(CLI::App& command) {
    command.allow_extras();
    command
        .add_option("--vcd", trace_.vcd,
                    "write MDC, MDIO by the host, MDIO by the PHY and\n"
                    "the MDIO line to FILE as VCD, for GTKWave")
        ->check(fileName())
        ->type_name("FILE");
    command.add_flag("--mii", trace_.mii,
                     "show each MII management access rather than the\n"
                     "frames they carry");
    declareDriver(command, trace_.driver);
    declareTiming(command, trace_.timing);
  }

  void declareBridge(CLI::App& command) {
    command.allow_extras();
    command.add_option("--wire", bridge_.wire, "the TAP device of the network")
        ->check(fileName())
        ->type_name("TAP");
    command.add_option("--station", bridge_.station, "the TAP device of the station's stack")
        ->check(fileName())
        ->type_name("TAP");
    command
        .add_option_function<double>(
            "--duration", [this](double seconds) { bridge_.durationSeconds = seconds; },
            "stop after S seconds (default: when interrupted)")
        ->check(accepting(positiveSeconds, "a number of seconds"))
        ->type_name("S");
    command.add_option("--pcap", bridge_.pcap, "capture the card's cable into FILE")
        ->check(fileName())
        ->type_name("FILE");
    command
        .add_option("--config", bridge_.config,
                    "the installation; the card and its adapter are\n"
                    "the file's [adapter1]")
        ->check(fileName())
        ->type_name("FILE");
    declareDriver(command, bridge_.driver);
    declareTiming(command, bridge_.timing);
    command
        .add_option("--seed", bridge_.seed,
                    "seed of a random timing corner's times and of\n"
                    "the wire's backoff")
        ->transform(wholeNumber<std::uint64_t>("a number"))
        ->capture_default_str()
        ->type_name("S");
  }

  static void declareDriver(CLI::App& command, std::string& driver) {
    command
        .add_option("--driver", driver,
                    "run kl7046.sys from FILE instead of the linked\n"
                    "driver (32-bit build only)")
        ->check(fileName())
        ->type_name("FILE");
  }

  // The card's times: a corner, and times of their own within their ranges.
  static void declareTiming(CLI::App& command, std::optional<sim::card::TimingSetup>& timing) {
    command
        .add_option_function<std::string>(
            "--timing",
            [&timing](const std::string& text) {
              timing = sim::card::parseTiming(text, sim::WorldRandom::kDefaultSeed).setup;
            },
            "the card's timing corner: fastest, typical,\n"
            "slowest or random (each time drawn from the\n"
            "seed), then any ,NAME=DURATION within its range\n"
            "(default: the installation's, or typical)")
        ->check(CLI::Validator(
            [](std::string& text) {
              return sim::card::parseTiming(text, sim::WorldRandom::kDefaultSeed).error;
            },
            ""))
        ->type_name("CORNER");
  }

  CLI::App app_{kProgram, "kl7046"};
  DemoOptions demo_;
  TraceOptions trace_;
  BridgeOptions bridge_;
};

// Whether the line names what to do itself, rather than being the demo's
// options: a command, or one of the program's own options.
bool namesItsCommand(const std::vector<std::string_view>& args) {
  if (args.empty()) {
    return false;
  }
  const std::string_view first = args.front();
  return std::ranges::find(kCommands, first) != std::end(kCommands) || first == "--help" ||
         first == "-h" || first == "--version";
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string_view>& args) {
  std::vector<std::string_view> line = args;
  if (!line.empty() && line.front() == "help") {
    line.front() = "--help";
  } else if (!namesItsCommand(line)) {
    line.insert(line.begin(), "demo");
  }
  return Parser().parse(line);
}

}  // namespace kl::tools
