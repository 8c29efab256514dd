// What an installation holds for one adapter: its registry keywords and the
// facts NDIS reads from the bus on the driver's behalf.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/ndis.h"

namespace kl::sim {

// A registry value: a number stored as such (REG_DWORD) or text (REG_SZ),
// which NDIS parses in the base the driver asks for.
using RegistryValue = std::variant<std::uint32_t, std::string>;

// Keyword names compare without regard to case, as registry value names do.
struct KeywordLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

using Registry = std::map<std::string, RegistryValue, KeywordLess>;

struct McaSlot {
  UINT channel = 1;
  NDIS_MCA_POS_DATA pos{};
};

struct AdapterSetup {
  Registry keywords;
  // The network-address override, any length; absent when none is configured.
  std::optional<std::vector<std::uint8_t>> networkAddress;
  // Micro Channel slot data; absent makes NdisReadMcaPosInformation fail.
  std::optional<McaSlot> mca;
  // PC Card attribute memory, one byte per offset.
  std::vector<std::uint8_t> attributeMemory;
};

}  // namespace kl::sim
