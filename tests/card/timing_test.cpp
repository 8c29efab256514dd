// The card's timing: every time has a range its source allows and a typical
// value within it; a corner draws each time at its least, typical or most,
// or anywhere in its range from the seed; a setting names a corner and times
// of their own, and what it gets wrong is said in one line.
#include <gtest/gtest.h>

#include <string>

#include "card_test_support.h"
#include "sim/card/timing.h"

namespace kl::sim::card::test {
namespace {

using test::PrintTo;  // NOLINT(misc-unused-using-decls): found by argument-dependent lookup

TEST(TimingTable, EveryTimeHasASourceAndItsTypicalValueInItsRange) {
  for (const TimingRange& range : timingTable()) {
    SCOPED_TRACE(std::string(range.name));
    EXPECT_FALSE(range.source.empty());
    EXPECT_LE(range.least, range.typical);
    EXPECT_LE(range.typical, range.most);
    EXPECT_LT(range.least, range.most);
  }
}

TEST(TimingSource, DrawsTheCornersValueOrWithinTheRangeFromTheSeed) {
  for (std::size_t i = 0; i < kTimingCount; ++i) {
    const auto timing = static_cast<Timing>(i);
    const TimingRange& range = rangeOf(timing);
    SCOPED_TRACE(std::string(range.name));
    EXPECT_EQ(TimingSource({.corner = TimingCorner::Fastest})(timing), range.least);
    EXPECT_EQ(TimingSource({.corner = TimingCorner::Typical})(timing), range.typical);
    EXPECT_EQ(TimingSource({.corner = TimingCorner::Slowest})(timing), range.most);
    TimingSource random({.corner = TimingCorner::Random, .seed = 5});
    TimingSource again({.corner = TimingCorner::Random, .seed = 5});
    bool varies = false;
    Duration first = random(timing);
    EXPECT_EQ(again(timing), first) << "the same seed draws the same times";
    for (int draw = 0; draw < 50; ++draw) {
      const Duration drawn = random(timing);
      EXPECT_GE(drawn, range.least);
      EXPECT_LE(drawn, range.most);
      varies = varies || drawn != first;
    }
    EXPECT_TRUE(varies) << "each event draws afresh";
  }
}

struct SettingRow {
  std::string name;
  std::string text;
  std::string described;  // empty: refused with `error`
  std::string error;
};

class TimingSetting : public testing::TestWithParam<SettingRow> {};

TEST_P(TimingSetting, IsTakenOrRefusedInOneLine) {
  const SettingRow& row = GetParam();
  const ParsedTiming parsed = parseTiming(row.text, 9);
  if (row.described.empty()) {
    EXPECT_FALSE(parsed.setup.has_value());
    EXPECT_EQ(parsed.error, row.error);
    return;
  }
  ASSERT_TRUE(parsed.setup.has_value()) << parsed.error;
  EXPECT_EQ(describeTiming(*parsed.setup), row.described);
  EXPECT_EQ(parsed.setup->seed, 9U);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TimingSetting,
    testing::Values(
        SettingRow{"Corner", "slowest", "slowest"}, SettingRow{"Random", "random", "random"},
        SettingRow{"TimesOfTheirOwn", "typical,break-link=1.3s,link-loss-100=12us",
                   "typical, break-link 1.3 s, link-loss-100 12 us"},
        SettingRow{"EveryUnit", "fastest,phy-reset=0.25ms,controller-reset=1200ns",
                   "fastest, phy-reset 250 us, controller-reset 1.2 us"},
        SettingRow{"AtTheEdgesOfTheRange", "fastest,autoneg-wait=500ms,link-pass-10=240ms",
                   "fastest, autoneg-wait 500 ms, link-pass-10 240 ms"},
        SettingRow{"UnknownCorner", "slow", "",
                   "corner \"slow\" is none of fastest, typical, slowest and random"},
        SettingRow{"UnknownTime", "typical,boot=1s", "", "no time of the card is called \"boot\""},
        SettingRow{"BelowItsRange", "typical,autoneg-wait=499ms", "",
                   "autoneg-wait=499ms is outside autoneg-wait's range, 500 ms to 1 s (IEEE "
                   "802.3 28.3.2: autoneg_wait_timer)"},
        SettingRow{"NoDuration", "typical,break-link", "",
                   "break-link is outside break-link's range, 1.2 s to 1.5 s (IEEE 802.3 28.3.2: "
                   "break_link_timer)"},
        SettingRow{"TooLongForAnyRange", "typical,break-link=99999999999999999999s", "",
                   "break-link=99999999999999999999s is outside break-link's range, 1.2 s to 1.5 s "
                   "(IEEE 802.3 28.3.2: break_link_timer)"},
        SettingRow{"NoUnit", "typical,break-link=1300", "",
                   "break-link=1300 is outside break-link's range, 1.2 s to 1.5 s (IEEE 802.3 "
                   "28.3.2: break_link_timer)"}),
    CaseName{});

}  // namespace
}  // namespace kl::sim::card::test
