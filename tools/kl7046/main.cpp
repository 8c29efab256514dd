// kl7046: run the KL7046 driver on the emulated card.
#include <charconv>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "kl7046/dma_demo.h"

namespace {

constexpr std::string_view kUsage = R"(usage: kl7046 [demo] [--frames N] [--seed N] [--trace]

Loads the KL7046 miniport into the simulated NDIS library and moves frames
through the emulated card's packet memory by remote DMA, on a word-wide and on
a byte-wide card, checking every byte.

  --frames N   frames to move on each card (default 64)
  --seed N     seed for frame lengths and contents (default 7046)
  --trace      print each port access of the controller start
  --help       show this text

Examples:
  kl7046
  kl7046 demo --frames 1000 --seed 1
  kl7046 demo --frames 0 --trace
)";

bool parseNumber(std::string_view text, std::uint32_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc{} && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  kl::tools::DmaDemoOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "demo" && i == 0) {
      continue;
    }
    if (arg == "--trace") {
      options.trace = true;
      continue;
    }
    std::uint32_t* target = arg == "--frames" ? &options.frames
                            : arg == "--seed" ? &options.seed
                                              : nullptr;
    if (target == nullptr || i + 1 >= args.size() || !parseNumber(args[i + 1], *target)) {
      std::cerr << "kl7046: bad argument '" << arg << "'\n" << kUsage;
      return 2;
    }
    ++i;
  }
  return kl::tools::runDmaDemo(options, std::cout) ? 0 : 1;
}
