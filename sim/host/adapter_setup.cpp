#include "sim/host/adapter_setup.h"

#include <algorithm>
#include <cctype>

namespace kl::sim {

bool KeywordLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace kl::sim
