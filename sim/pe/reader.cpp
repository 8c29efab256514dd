#include "sim/pe/reader.h"

namespace kl::pe {

std::string printable(std::string_view name) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= ' ' && byte <= '~' && byte != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

std::string fixedName(std::span<const std::uint8_t> field) {
  std::string name;
  for (const std::uint8_t c : field) {
    if (c == 0) {
      break;
    }
    name.push_back(static_cast<char>(c));
  }
  return name;
}

}  // namespace kl::pe
