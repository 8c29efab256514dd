// The demo's capture of the cable, read back by tshark: exactly the frames
// the demo sent, each byte for byte, in the order each side sent them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kl7046/demo.h"

namespace kl::tools {
namespace {

using Frame = std::vector<std::uint8_t>;

std::vector<std::uint8_t> FromHex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    if (text[i] == ':') {
      --i;
      continue;
    }
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Every frame of the capture as tshark dissects it, rebuilt from its
// Ethernet fields and the undissected payload, by source address.
std::map<std::string, std::vector<Frame>> ReadWithTshark(const std::filesystem::path& file) {
  const std::string command = std::string(KL_TSHARK) + " -r '" + file.string() +
                              "' -T fields -e eth.src -e eth.dst -e eth.type -e data.data"
                              " 2>/dev/null";
  std::map<std::string, std::vector<Frame>> frames;
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return frames;
  }
  char line[8192];
  while (std::fgets(line, sizeof(line), pipe.get()) != nullptr) {
    std::istringstream fields(line);
    std::string source;
    std::string destination;
    std::string type;
    std::string data;
    fields >> source >> destination >> type >> data;
    Frame frame = FromHex(destination);
    const Frame from = FromHex(source);
    frame.insert(frame.end(), from.begin(), from.end());
    const unsigned etherType = std::stoul(type, nullptr, 16);
    frame.push_back(static_cast<std::uint8_t>(etherType >> 8));
    frame.push_back(static_cast<std::uint8_t>(etherType));
    const Frame payload = FromHex(data);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frames[source].push_back(std::move(frame));
  }
  return frames;
}

TEST(DemoCapture, TsharkReadsExactlyTheFramesSent) {
  if (std::string(KL_TSHARK).empty()) {
    GTEST_SKIP() << "tshark is not installed";
  }
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("kl7046-demo-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
       std::to_string(::getpid()) + ".pcap");
  DemoOptions options;
  options.frames = 300;
  options.seed = 44;
  options.pcap = file.string();
  std::array<std::vector<Frame>, 2> sent;
  const DemoReport report =
      runDemo(options, {}, {.sent = [&](std::size_t side, std::span<const std::uint8_t> frame) {
                sent.at(side).emplace_back(frame.begin(), frame.end());
              }});
  ASSERT_TRUE(report.clean()) << report.failure;

  const auto captured = ReadWithTshark(file);
  std::filesystem::remove(file);
  std::size_t total = 0;
  for (std::size_t side = 0; side < sent.size(); ++side) {
    SCOPED_TRACE("adapter " + std::to_string(side + 1));
    const std::string& source = report.adapters[side].address;
    ASSERT_TRUE(captured.contains(source));
    const std::vector<Frame>& frames = captured.at(source);
    ASSERT_EQ(frames.size(), sent[side].size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
      ASSERT_EQ(frames[i], sent[side][i]) << "frame " << i;
    }
    total += frames.size();
  }
  EXPECT_EQ(total, 2 * options.frames);
  EXPECT_EQ(captured.size(), 2U);
}

}  // namespace
}  // namespace kl::tools
