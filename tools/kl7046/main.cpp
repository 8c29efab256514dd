// kl7046: run the KL7046 driver on emulated cards.
#include <unistd.h>

#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kl7046/command_line.h"
#include "kl7046/installation_file.h"
#include "kl7046/network_demo.h"
#include "kl7046/progress_bar.h"
#include "kl7046/report.h"

namespace {

int fail(const std::string& message) {
  std::cerr << "kl7046: " << message << "\n";
  return 2;
}

// The installation in `file`, or the default one when no file is named;
// nothing, with the reason on standard error, when the file cannot be used.
std::optional<kl::tools::Installation> readConfig(const std::string& file) {
  if (file.empty()) {
    return kl::tools::Installation{};
  }
  std::ifstream in(file);
  if (!in) {
    fail("cannot read " + file);
    return std::nullopt;
  }
  std::string error;
  auto installation = kl::tools::readInstallation(in, error);
  if (!installation) {
    fail(file + ": " + error);
  }
  return installation;
}

int run(const kl::tools::BridgeOptions& options) {
  const auto installation = readConfig(options.config);
  if (!installation) {
    return 2;
  }
  return kl::tools::runBridge(options, *installation, std::cout, std::cerr);
}

int run(const kl::tools::TraceOptions& options) {
  return kl::tools::runTrace(options, std::cout, std::cerr);
}

int runNetwork(const kl::tools::DemoOptions& options, const kl::tools::Installation& installation) {
  const kl::tools::NetworkChoice choice = kl::tools::networkChoice(options, installation);
  if (const std::string problem = kl::tools::networkProblem(choice, options); !problem.empty()) {
    return fail(problem);
  }
  kl::tools::ProgressBar bar(std::cerr, isatty(STDERR_FILENO) != 0 && !options.json);
  const kl::tools::NetworkReport report = kl::tools::runNetworkDemo(
      options, installation,
      {.progress = [&](std::uint64_t sent, std::uint64_t due) { bar.update(sent, due); }});
  bar.finish();
  if (options.json) {
    kl::tools::printNetworkReportJson(report, std::cout);
  } else {
    kl::tools::printNetworkReport(report, std::cout);
  }
  return report.clean() ? 0 : 1;
}

int run(const kl::tools::DemoOptions& options) {
  const auto installation = readConfig(options.config);
  if (!installation) {
    return 2;
  }
  if (kl::tools::asksForNetwork(options, *installation)) {
    return runNetwork(options, *installation);
  }
  kl::tools::ProgressBar bar(std::cerr, isatty(STDERR_FILENO) != 0 && !options.json);
  const kl::tools::DemoReport report = kl::tools::runDemo(
      options, *installation, {.progress = [&](std::uint64_t delivered, std::uint64_t due) {
        bar.update(delivered, due);
      }});
  bar.finish();
  if (options.json) {
    kl::tools::printReportJson(report, std::cout);
  } else {
    kl::tools::printReport(report, std::cout);
  }
  return report.clean() ? 0 : 1;
}

int run(const kl::tools::Shown& shown) {
  std::cout << shown.text;
  return 0;
}

int run(const kl::tools::Refused& refused) {
  return fail(refused.reason + " (kl7046 --help lists the options)");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    return std::visit([](const auto& line) { return run(line); },
                      kl::tools::parseCommandLine(args));
  } catch (const std::exception& error) {
    std::cerr << "kl7046: " << error.what() << "\n";
    return 1;
  }
}
