// The driver's declarations against the platform's own: the same table of
// sizes, alignments, member offsets and constant values, compiled by the
// cross compiler once against the MinGW-w64 DDK headers and once against
// platform/, must agree entry by entry.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kl::test {
namespace {

struct LayoutEntry {
  std::string what;
  std::uint32_t value;
};

// The table as the object file holds it: a name of 120 bytes and a 32-bit
// little-endian value per entry; the section may be padded after the last.
std::vector<LayoutEntry> readTable(const char* file) {
  constexpr std::size_t kNameBytes = 120;
  constexpr std::size_t kEntryBytes = kNameBytes + 4;
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<LayoutEntry> table;
  for (std::size_t at = 0; at + kEntryBytes <= bytes.size() && bytes[at] != '\0';
       at += kEntryBytes) {
    const char* name = &bytes[at];
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      value |= std::uint32_t{static_cast<std::uint8_t>(bytes[at + kNameBytes + i])} << (8 * i);
    }
    table.push_back({std::string(name, strnlen(name, kNameBytes)), value});
  }
  return table;
}

TEST(PlatformLayouts, DriverDeclarationsAgreeWithThePlatformHeaders) {
  const auto platform = readTable(KL_PLATFORM_LAYOUTS);
  const auto driver = readTable(KL_DRIVER_LAYOUTS);
  ASSERT_GT(platform.size(), 300U) << "the table of the platform's headers is incomplete";
  ASSERT_EQ(driver.size(), platform.size());
  for (std::size_t i = 0; i < platform.size(); ++i) {
    ASSERT_EQ(driver[i].what, platform[i].what);
    EXPECT_EQ(driver[i].value, platform[i].value)
        << driver[i].what << " is " << driver[i].value << " in the driver's declarations and "
        << platform[i].value << " in the platform's headers";
  }
}

}  // namespace
}  // namespace kl::test
