// What every part of the PE reader shares: the error a malformed image
// gives, names made fit to quote, and a reader of little-endian fields that
// checks every offset against the bytes it reads from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kl::pe {

class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `name`, as read from an image, fit to quote in a message: printable ASCII
// stays, any other byte (and the backslash) becomes \xNN, so a damaged name
// cannot reach a terminal as raw bytes.
[[nodiscard]] std::string printable(std::string_view name);

// The characters of a NUL-padded name field, up to its first NUL.
[[nodiscard]] std::string fixedName(std::span<const std::uint8_t> field);

// Little-endian fields of a byte range whose bounds every read checks.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] std::span<const std::uint8_t> span(std::size_t offset, std::size_t size,
                                                   const char* what) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset) {
      throw FormatError(std::string("truncated image: ") + what + " runs past the end of the file");
    }
    return bytes_.subspan(offset, size);
  }
  void require(std::size_t offset, std::size_t size, const char* what) const {
    (void)span(offset, size, what);
  }
  [[nodiscard]] std::uint8_t u8(std::size_t offset, const char* what) const {
    return span(offset, 1, what)[0];
  }
  [[nodiscard]] std::uint16_t u16(std::size_t offset, const char* what) const {
    const auto b = span(offset, 2, what);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  }
  [[nodiscard]] std::uint32_t u32(std::size_t offset, const char* what) const {
    const auto b = span(offset, 4, what);
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
           (std::uint32_t{b[3]} << 24);
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace kl::pe
