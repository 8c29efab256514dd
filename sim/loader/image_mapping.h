// The pages a driver image is mapped into: reserved at a fresh address,
// zero-filled and writable while the loader builds the image, then given each
// section's protection. Unmapped when the owner goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kl::sim {

class ImageMapping {
 public:
  ImageMapping() = default;  // maps nothing
  // Throws std::system_error when the pages cannot be had.
  explicit ImageMapping(std::size_t size);
  ImageMapping(ImageMapping&& other) noexcept;
  ImageMapping& operator=(ImageMapping&& other) noexcept;
  ImageMapping(const ImageMapping&) = delete;
  ImageMapping& operator=(const ImageMapping&) = delete;
  ~ImageMapping();

  [[nodiscard]] static std::size_t pageSize();

  [[nodiscard]] std::span<std::uint8_t> bytes() const { return {base_, size_}; }
  [[nodiscard]] std::uintptr_t address() const { return reinterpret_cast<std::uintptr_t>(base_); }

  // `protection` is a combination of PROT_READ, PROT_WRITE and PROT_EXEC
  // (PROT_NONE for none) for the whole pages from `firstPage` on.
  void protect(std::size_t firstPage, std::size_t pages, int protection) const;

 private:
  std::uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kl::sim
