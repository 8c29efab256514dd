#include "kl7046/installation_file.h"

#include "kl7046/bus_cycles.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <string_view>
#include <vector>

#include "driver/configuration.h"
#include "sim/card/pc_card.h"

namespace kl::tools {

namespace {

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == text.npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool sameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string nameOf(const NDIS_STRING& keyword) {
  std::string name;
  for (std::size_t i = 0; i < keyword.Length / sizeof(WCHAR); ++i) {
    name.push_back(static_cast<char>(keyword.Buffer[i]));
  }
  return name;
}

// The keywords the driver reads, by the names its own strings hold.
std::optional<std::string> driverKeyword(std::string_view name) {
  for (const NDIS_STRING* keyword :
       {&CardTypeKeyword, &BusTypeKeyword, &IoBaseAddressKeyword, &InterruptNumberKeyword,
        &MaximumMulticastListKeyword, &ConnectionTypeKeyword}) {
    if (std::string text = nameOf(*keyword); sameName(text, name)) {
      return text;
    }
  }
  return std::nullopt;
}

template <class T>
std::optional<T> number(std::string_view text, int base) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// Hex bytes, two digits each, with or without '-' or ':' between them.
std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  while (!text.empty()) {
    if (text.front() == '-' || text.front() == ':') {
      text.remove_prefix(1);
      continue;
    }
    const auto byte = number<std::uint8_t>(text.substr(0, 2), 16);
    if (!byte || text.size() < 2) {
      return std::nullopt;
    }
    bytes.push_back(*byte);
    text.remove_prefix(2);
  }
  return bytes;
}

std::optional<sim::card::LinkSignal> partnerOf(std::string_view text) {
  using sim::card::Duplex;
  using sim::card::LinkSignal;
  using sim::card::Speed;
  if (sameName(text, "auto")) {
    return LinkSignal::negotiating(sim::card::ability::kAll | sim::card::ability::kSelector8023);
  }
  if (sameName(text, "none")) {
    return LinkSignal::none();
  }
  struct Forced {
    const char* name;
    sim::card::LinkMode mode;
  };
  for (const Forced& forced : {Forced{"10half", {Speed::Mbit10, Duplex::Half}},
                               Forced{"10full", {Speed::Mbit10, Duplex::Full}},
                               Forced{"100half", {Speed::Mbit100, Duplex::Half}},
                               Forced{"100full", {Speed::Mbit100, Duplex::Full}}}) {
    if (sameName(text, forced.name)) {
      return LinkSignal::forcedTo(forced.mode);
    }
  }
  return std::nullopt;
}

std::optional<std::optional<sim::card::PhyConfig>> phyOf(std::string_view text) {
  using sim::card::PhyConfig;
  if (sameName(text, "none")) {
    return std::optional<PhyConfig>();
  }
  PhyConfig config;
  if (sameName(text, "78E1")) {
    config.model = sim::card::phy78E1();
  } else if (sameName(text, "8201")) {
    config.model = sim::card::phy8201();
  } else if (sameName(text, "5C21")) {
    config.model = sim::card::phy5C21();
  } else if (sameName(text, "generic")) {
    config.model = sim::card::genericPhy(0x00112233);
  } else {
    return std::nullopt;
  }
  return std::optional<PhyConfig>(config);
}

// Applies one `sim.` setting; returns what is wrong with it, or nothing.
std::optional<std::string> applyCardSetting(std::string_view name, std::string_view value,
                                            SlotSettings& slot) {
  const auto is = [&](std::string_view setting) { return sameName(name, setting); };
  if (is("sim.BusWidth")) {
    if (value != "8" && value != "16") {
      return "sim.BusWidth is 8 or 16";
    }
    slot.busWidth = value == "8" ? sim::card::BusWidth::Byte : sim::card::BusWidth::Word;
  } else if (is("sim.MemoryStart") || is("sim.MemorySize")) {
    const auto n = number<std::uint32_t>(value, 16);
    if (!n || *n > 0x10000) {
      return std::string(name) + " is a hex card address up to 10000";
    }
    (is("sim.MemoryStart") ? slot.memoryStart : slot.memorySize) = *n;
  } else if (is("sim.Phy")) {
    slot.phy = phyOf(value);
    if (!slot.phy) {
      return "sim.Phy is 78E1, 8201, 5C21, generic or none";
    }
  } else if (is("sim.PhyAddress")) {
    const auto n = number<unsigned>(value, 10);
    if (!n || *n > 31) {
      return "sim.PhyAddress is an MII address from 0 to 31";
    }
    slot.phyAddress = static_cast<std::uint8_t>(*n);
  } else if (is("sim.LinkPartner")) {
    slot.partner = partnerOf(value);
    if (!slot.partner) {
      return "sim.LinkPartner is auto, 10half, 10full, 100half, 100full or none";
    }
  } else if (is("sim.StationAddress")) {
    const auto bytes = hexBytes(value);
    if (!bytes || bytes->size() != 6) {
      return "sim.StationAddress is six hex bytes such as 02-4B-4C-70-46-01";
    }
    slot.stationAddress.emplace();
    std::copy(bytes->begin(), bytes->end(), slot.stationAddress->begin());
  } else if (is("sim.AttributeMemory")) {
    if (!sameName(value, "pccard") && !sameName(value, "none")) {
      return "sim.AttributeMemory is pccard or none";
    }
    slot.pcCardAttributeMemory = sameName(value, "pccard");
  } else if (is("sim.AttributeMemorySize")) {
    const auto n = number<std::size_t>(value, 16);
    if (!n) {
      return "sim.AttributeMemorySize is a hex byte count";
    }
    slot.attributeMemorySize = *n;
  } else if (is("sim.McaAdapterId")) {
    const auto n = number<USHORT>(value, 16);
    if (!n) {
      return "sim.McaAdapterId is a hex adapter id such as 7154";
    }
    slot.adapter.mca = slot.adapter.mca.value_or(sim::McaSlot{});
    slot.adapter.mca->pos.AdapterId = *n;
  } else if (is("sim.McaPos")) {
    const auto bytes = hexBytes(value);
    if (!bytes || bytes->size() != 4) {
      return "sim.McaPos is four hex bytes such as 01-02-03-04";
    }
    slot.adapter.mca = slot.adapter.mca.value_or(sim::McaSlot{});
    NDIS_MCA_POS_DATA& pos = slot.adapter.mca->pos;
    pos.PosData1 = (*bytes)[0];
    pos.PosData2 = (*bytes)[1];
    pos.PosData3 = (*bytes)[2];
    pos.PosData4 = (*bytes)[3];
  } else {
    return "unknown card setting " + std::string(name);
  }
  return std::nullopt;
}

// Applies one registry keyword; returns what is wrong with it, or nothing.
std::optional<std::string> applyKeyword(std::string_view name, std::string_view value,
                                        SlotSettings& slot) {
  if (sameName(name, "NetworkAddress")) {
    const auto bytes = hexBytes(value);
    if (!bytes) {
      return "NetworkAddress is hex bytes such as 02005E102030";
    }
    slot.adapter.networkAddress = *bytes;
    return std::nullopt;
  }
  const std::optional<std::string> keyword = driverKeyword(name);
  if (!keyword) {
    return "unknown keyword " + std::string(name) +
           " (the driver reads CardType, BusType, IoBaseAddress, InterruptNumber, "
           "MaximumMulticastList, ConnectionType and NetworkAddress)";
  }
  slot.adapter.keywords.insert_or_assign(*keyword, std::string(value));
  return std::nullopt;
}

}  // namespace

sim::world::SlotSetup applySettings(const SlotSettings& settings, sim::world::SlotSetup slot,
                                    const sim::card::MacAddress& station) {
  const sim::card::MacAddress address = settings.stationAddress.value_or(station);
  slot.card.busWidth = settings.busWidth.value_or(slot.card.busWidth);
  slot.card.prom = slot.card.busWidth == sim::card::BusWidth::Byte
                       ? sim::card::byteWidePromImage(address)
                       : sim::card::wordWidePromImage(address);
  slot.card.memory.start = settings.memoryStart.value_or(slot.card.memory.start);
  slot.card.memory.size = settings.memorySize.value_or(slot.card.memory.size);
  if (settings.phy) {
    slot.card.phy = *settings.phy;
  }
  slot.card.phyAddress = settings.phyAddress.value_or(slot.card.phyAddress);
  const sim::AdapterSetup before = slot.adapter;
  slot.adapter = settings.adapter;
  for (const auto& [keyword, value] : before.keywords) {
    slot.adapter.keywords.try_emplace(keyword, value);
  }
  if (settings.pcCardAttributeMemory.value_or(!before.attributeMemory.empty())) {
    slot.adapter.attributeMemory = sim::card::pcCardAttributeMemory(address);
  }
  if (settings.attributeMemorySize) {
    slot.adapter.attributeMemory.resize(*settings.attributeMemorySize, 0xFF);
  }
  return slot;
}

sim::card::TimingSetup timingOf(const std::optional<sim::card::TimingSetup>& given,
                                const Installation& installation, std::uint64_t seed) {
  sim::card::TimingSetup timing =
      given.value_or(installation.timing.value_or(sim::card::TimingSetup{}));
  timing.seed = seed;
  return timing;
}

std::optional<sim::world::Topology> topologyNamed(std::string_view name) {
  using sim::world::Topology;
  for (const auto& [word, topology] :
       {std::pair{"cable", Topology::Cable}, std::pair{"hub", Topology::Hub},
        std::pair{"switch", Topology::Switch}}) {
    if (sameName(name, word)) {
      return topology;
    }
  }
  return std::nullopt;
}

namespace {

// One line of [network]; what is wrong with it, if anything.
std::optional<std::string> applyNetworkSetting(std::string_view name, std::string_view value,
                                               NetworkSettings& network) {
  const auto count = number<std::size_t>(value, 10);
  if (sameName(name, "Stations")) {
    if (!count || *count < 2 || *count > sim::world::kMostStations) {
      return "Stations is a count from 2 to " + std::to_string(sim::world::kMostStations);
    }
    network.stations = count;
  } else if (sameName(name, "PerMachine")) {
    if (!count || *count < 1 || *count > sim::world::kCardsPerMachine) {
      return "PerMachine is a count from 1 to " + std::to_string(sim::world::kCardsPerMachine);
    }
    network.perMachine = count;
  } else if (sameName(name, "Topology")) {
    network.topology = topologyNamed(value);
    if (!network.topology) {
      return "Topology is cable, hub or switch";
    }
  } else if (sameName(name, "Pattern")) {
    network.pattern = sim::world::patternNamed(value);
    if (!network.pattern) {
      return "Pattern is all-to-all, incast, multicast or storm";
    }
  } else {
    return "unknown network setting " + std::string(name) +
           " (the network has Stations, Topology, Pattern and PerMachine)";
  }
  return std::nullopt;
}

}  // namespace

std::optional<Installation> readInstallation(std::istream& in, std::string& error) {
  Installation installation;
  enum class Section : std::uint8_t { None, Machine, Network, Adapter };
  Section section = Section::None;
  SlotSettings* slot = nullptr;
  std::string line;
  for (unsigned lineNumber = 1; std::getline(in, line); ++lineNumber) {
    const auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(lineNumber) + ": " + why;
      return std::nullopt;
    };
    line.erase(std::min(line.find('#'), line.size()));
    const std::string_view text = trimmed(line);
    if (text.empty()) {
      continue;
    }
    if (text.front() == '[') {
      if (sameName(text, "[machine]")) {
        section = Section::Machine;
      } else if (sameName(text, "[network]")) {
        section = Section::Network;
      } else if (sameName(text, "[adapter1]") || sameName(text, "[adapter2]")) {
        section = Section::Adapter;
        slot = &installation.adapters[text[8] == '1' ? 0 : 1];
      } else {
        return fail("unknown section " + std::string(text) +
                    " (sections are [machine], [network], [adapter1] and [adapter2])");
      }
      continue;
    }
    const std::size_t equals = text.find('=');
    const std::string_view name = trimmed(text.substr(0, std::min(equals, text.size())));
    const std::string_view value =
        equals == text.npos ? std::string_view() : trimmed(text.substr(equals + 1));
    if (equals == text.npos || name.empty() || value.empty()) {
      return fail("expected Keyword=Value");
    }
    std::optional<std::string> wrong;
    if (section == Section::None) {
      wrong =
          "Keyword=Value lines belong in a section ([machine], [network], [adapter1] or "
          "[adapter2])";
    } else if (section == Section::Network) {
      wrong = applyNetworkSetting(name, value, installation.network);
    } else if (section == Section::Machine) {
      const auto processors = number<unsigned>(value, 10);
      if (sameName(name, "BusCycle")) {
        installation.busCycles = parseBusCycles(value);
        if (!installation.busCycles) {
          wrong = "BusCycle is typical, fastest, NS or NS8,NS16 (nanoseconds per port cycle)";
        }
      } else if (sameName(name, "Timing")) {
        sim::card::ParsedTiming timing =
            sim::card::parseTiming(value, sim::WorldRandom::kDefaultSeed);
        installation.timing = timing.setup;
        if (!timing.setup) {
          wrong = "Timing " + timing.error;
        }
      } else if (!sameName(name, "Processors")) {
        wrong = "unknown machine setting " + std::string(name) +
                " (the machine has Processors, BusCycle and Timing)";
      } else if (!processors || *processors == 0 || *processors > 32) {
        wrong = "Processors is a count from 1 to 32";
      } else {
        installation.processors = *processors;
      }
    } else if (name.size() > 4 && sameName(name.substr(0, 4), "sim.")) {
      wrong = applyCardSetting(name, value, *slot);
    } else {
      wrong = applyKeyword(name, value, *slot);
    }
    if (wrong) {
      return fail(*wrong);
    }
  }
  return installation;
}

}  // namespace kl::tools
