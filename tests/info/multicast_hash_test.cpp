// The multicast hash: the CRC the controller's address filter computes, the
// filter bit it selects, and the filter a list builds.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "info/information.h"
#include "tests/info/reference_hash.h"

namespace kl::test {
namespace {

using Address = std::array<std::uint8_t, 6>;

ULONG Crc(const std::vector<std::uint8_t>& bytes) {
  return MulticastCrc(bytes.data(), static_cast<ULONG>(bytes.size()));
}

std::vector<std::uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

struct CrcRow {
  std::string name;
  std::vector<std::uint8_t> bytes;
  std::uint32_t crc;
};

class MulticastCrcVector : public ::testing::TestWithParam<CrcRow> {};

TEST_P(MulticastCrcVector, MatchesThePublishedValue) {
  const CrcRow& row = GetParam();
  EXPECT_EQ(Crc(row.bytes), row.crc);
  EXPECT_EQ(ReferenceFilterCrc(row.bytes), row.crc) << "the reference itself is off";
}

INSTANTIATE_TEST_SUITE_P(Vectors, MulticastCrcVector,
                         ::testing::Values(CrcRow{"Abc", Text("abc"), 0xBC7DDB53},
                                           CrcRow{"Digits", Text("123456789"), 0x9B63D02C},
                                           CrcRow{"Empty", {}, 0xFFFFFFFF}),
                         [](const auto& test) { return test.param.name; });

// Random byte strings of every length up to a frame header, against the
// reflected CRC-32 complemented and bit-reversed.
TEST(MulticastCrcReference, AgreesOnRandomInput) {
  const std::uint32_t seed = 0x4B4C7046;
  std::mt19937 random(seed);
  for (std::size_t length = 0; length <= 64; ++length) {
    for (int round = 0; round < 16; ++round) {
      std::vector<std::uint8_t> bytes(length);
      for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
      }
      ASSERT_EQ(Crc(bytes), ReferenceFilterCrc(bytes))
          << "seed " << seed << ", length " << length << ", round " << round;
    }
  }
}

struct HashRow {
  std::string name;
  Address address;
  UCHAR index;
  UCHAR mask;
};

class MulticastHash : public ::testing::TestWithParam<HashRow> {};

TEST_P(MulticastHash, SelectsTheFilterBit) {
  const HashRow& row = GetParam();
  UCHAR index = 0xEE;
  UCHAR mask = 0xEE;
  MulticastHashBit(row.address.data(), &index, &mask);
  EXPECT_EQ(index, row.index);
  EXPECT_EQ(mask, row.mask);
}

INSTANTIATE_TEST_SUITE_P(
    KnownGroups, MulticastHash,
    ::testing::Values(HashRow{"AllHostsIpv4", {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, 3, 0x80},
                      HashRow{"Broadcast", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 7, 0x80}),
    [](const auto& test) { return test.param.name; });

// Every one of the 64 filter bits is reachable, and each address lands where
// the reference puts it.
TEST(MulticastHashReference, CoversEveryFilterBit) {
  const std::uint32_t seed = 7046;
  std::mt19937 random(seed);
  std::array<bool, 64> seen{};
  for (int round = 0; round < 2000; ++round) {
    Address address{};
    for (std::uint8_t& byte : address) {
      byte = static_cast<std::uint8_t>(random());
    }
    address[0] |= 0x01;  // a group address
    UCHAR index = 0;
    UCHAR mask = 0;
    MulticastHashBit(address.data(), &index, &mask);
    const std::uint32_t crc = ReferenceFilterCrc(address);
    ASSERT_EQ(index, crc >> 29) << "seed " << seed << ", round " << round;
    ASSERT_EQ(mask, 1U << ((crc >> 26) & 7U)) << "seed " << seed << ", round " << round;
    seen[index * 8 + static_cast<unsigned>(__builtin_ctz(mask))] = true;
  }
  for (std::size_t bit = 0; bit < seen.size(); ++bit) {
    EXPECT_TRUE(seen[bit]) << "filter bit " << bit << " never selected, seed " << seed;
  }
}

// ---------------------------------------------------------------------------
// The filter a list builds.

struct FilterRow {
  std::string name;
  std::vector<Address> list;
};

class BuildFilter : public ::testing::TestWithParam<FilterRow> {};

TEST_P(BuildFilter, SetsExactlyTheListsBits) {
  const FilterRow& row = GetParam();
  Adapter adapter{};
  // A stale filter must not survive the rebuild.
  std::fill(std::begin(adapter.MulticastFilter), std::end(adapter.MulticastFilter), 0x5A);
  for (std::size_t i = 0; i < row.list.size(); ++i) {
    std::copy(row.list[i].begin(), row.list[i].end(), adapter.MulticastList[i]);
  }
  // Entries past the count are not part of the list.
  const Address stray = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
  std::copy(stray.begin(), stray.end(), adapter.MulticastList[row.list.size()]);
  adapter.MulticastCount = static_cast<ULONG>(row.list.size());

  BuildMulticastFilter(&adapter);

  const std::array<std::uint8_t, 8> expected = ReferenceFilter(row.list);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), adapter.MulticastFilter));
}

std::vector<FilterRow> FilterRows() {
  const Address allHosts = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  const Address mdns = {0x33, 0x33, 0x00, 0x00, 0x00, 0xFB};
  const Address broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::vector<Address> full;
  for (std::uint8_t i = 0; i < 31; ++i) {
    full.push_back({0x01, 0x00, 0x5E, 0x7F, i, static_cast<std::uint8_t>(i * 7)});
  }
  return {
      {"Empty", {}},
      {"One", {allHosts}},
      {"Twice", {allHosts, allHosts}},
      {"Several", {allHosts, mdns, broadcast}},
      {"NearlyFull", full},
  };
}

INSTANTIATE_TEST_SUITE_P(Lists, BuildFilter, ::testing::ValuesIn(FilterRows()),
                         [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
