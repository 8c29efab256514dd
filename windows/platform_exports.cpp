#include "windows/platform_exports.h"

#include <algorithm>
#include <cctype>

namespace kl::windows {

bool sameModuleName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

const PlatformExport* findPlatformExport(std::string_view module, std::string_view name) {
  const auto exports = platformExports();
  const auto it = std::ranges::find_if(exports, [&](const PlatformExport& entry) {
    return entry.name == name && sameModuleName(entry.module, module);
  });
  return it == exports.end() ? nullptr : &*it;
}

}  // namespace kl::windows
