// kl7046.inf as the system applies it: each install writes its keywords into
// the adapter's registry key, and the card that install is for comes up on
// exactly those keywords and carries traffic.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "end_to_end/two_stations.h"
#include "sim/card/pc_card.h"
#include "windows/inf_file.h"

namespace kl::test {
namespace {

using sim::card::MacAddress;
using sim::world::SlotSetup;

constexpr MacAddress kAttributeAddress = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0xAC};

// The values an install section writes into the adapter's own key, as the
// registry then holds them: text, which NDIS parses in the base the driver
// asks for.
sim::Registry KeywordsWrittenBy(const std::string& installSection) {
  const InfFile inf = InfFile::load(KL_WINDOWS_DIR "/kl7046.inf");
  sim::Registry keywords;
  for (const InfRegistryValue& value : inf.registryWrites(installSection)) {
    if (value.subkey.empty()) {
      keywords.insert_or_assign(value.name, value.data);
    }
  }
  return keywords;
}

struct InstallCase {
  const char* section;
  std::function<void(SlotSetup&)> card;  // the card the install is for
  MacAddress address;
};

void PrintTo(const InstallCase& c, std::ostream* os) { *os << c.section; }

class InfInstall : public ::testing::TestWithParam<InstallCase> {};

TEST_P(InfInstall, TheCardComesUpOnTheKeywordsTheInstallWrites) {
  const InstallCase& c = GetParam();
  auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  slots[0].adapter.keywords = KeywordsWrittenBy(c.section);
  c.card(slots[0]);
  TwoStations world(53, {}, slots);
  world.bringUp();

  std::array<std::uint8_t, 6> address{};
  ULONG written = 0;
  ULONG needed = 0;
  ASSERT_EQ(world.pair().adapter(0).query(OID_802_3_CURRENT_ADDRESS, address, written, needed),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(address, c.address);
  ASSERT_TRUE(world.exchange(200));
  world.expectClean();
  EXPECT_TRUE(world.machine().errorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Kl7046Inf, InfInstall,
                         ::testing::Values(
                             // A PC Card whose PROM is erased: its address is in attribute memory.
                             InstallCase{"KL7046.PcCard",
                                         [](SlotSetup& slot) {
                                           slot.card.prom = sim::card::erasedPromImage();
                                           slot.adapter.attributeMemory =
                                               sim::card::pcCardAttributeMemory(kAttributeAddress);
                                         },
                                         kAttributeAddress},
                             InstallCase{"KL7046.Isa", [](SlotSetup&) {}, kFirstStation}),
                         [](const auto& param) {
                           std::string name = param.param.section;
                           std::erase(name, '.');
                           return name;
                         });

}  // namespace
}  // namespace kl::test
