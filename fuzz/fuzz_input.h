// A fuzz input read front to back as the numbers and bytes a target asks
// for; past its end every read is zero, so every input means something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kl::fuzz {

class FuzzInput {
 public:
  explicit FuzzInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] bool done() const { return at_ >= bytes_.size(); }
  std::uint8_t byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::uint16_t word() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
  std::uint32_t dword() { return static_cast<std::uint32_t>(word() | (word() << 16)); }
  std::vector<std::uint8_t> bytes(std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (std::uint8_t& b : out) {
      b = byte();
    }
    return out;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

}  // namespace kl::fuzz
