#include "kl7046/registry_file.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kl::tools {

namespace {

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == text.npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint32_t> number(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// "02-00-5E-10-20-30" or "02:00:5e:10:20:30": bytes of two hex digits.
std::optional<std::vector<std::uint8_t>> address(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  while (!text.empty()) {
    std::uint8_t byte = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + std::min<std::size_t>(2, text.size()), byte, 16);
    if (error != std::errc{} || end != text.data() + std::min<std::size_t>(2, text.size())) {
      return std::nullopt;
    }
    bytes.push_back(byte);
    text.remove_prefix(std::min<std::size_t>(2, text.size()));
    if (!text.empty()) {
      if (text.front() != '-' && text.front() != ':') {
        return std::nullopt;
      }
      text.remove_prefix(1);
    }
  }
  return bytes;
}

// Which adapters a section header names: "[adapter 1]" or "[adapter 2]".
std::optional<std::vector<std::size_t>> section(std::string_view header) {
  if (header == "[adapter 1]") {
    return std::vector<std::size_t>{0};
  }
  if (header == "[adapter 2]") {
    return std::vector<std::size_t>{1};
  }
  return std::nullopt;
}

}  // namespace

std::optional<RegistryFile> readRegistryFile(std::istream& in, RegistryFile base,
                                             std::string& error) {
  std::vector<std::size_t> targets = {0, 1};
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
      const auto named = section(text);
      if (!named) {
        return fail("unknown section " + std::string(text) + " (use [adapter 1] or [adapter 2])");
      }
      targets = *named;
      continue;
    }
    const std::size_t equals = text.find('=');
    if (equals == text.npos) {
      return fail("expected keyword = value");
    }
    const std::string keyword(trimmed(text.substr(0, equals)));
    const std::string_view value = trimmed(text.substr(equals + 1));
    if (keyword.empty() || value.empty()) {
      return fail("expected keyword = value");
    }
    for (const std::size_t target : targets) {
      sim::AdapterSetup& setup = base.adapters[target];
      if (keyword == "NetworkAddress") {
        const auto bytes = address(value);
        if (!bytes) {
          return fail("NetworkAddress takes hex bytes such as 02-00-5E-10-20-30");
        }
        setup.networkAddress = *bytes;
      } else if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        setup.keywords.insert_or_assign(keyword, std::string(value.substr(1, value.size() - 2)));
      } else if (const auto n = number(value)) {
        setup.keywords.insert_or_assign(keyword, *n);
      } else {
        return fail("the value of " + keyword + " is neither a number nor quoted text");
      }
    }
  }
  return base;
}

}  // namespace kl::tools
