// The headers of a PE32 i386 driver image, checked against the file that
// holds them before anything is mapped.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/loader/pe_format.h"

namespace kl::sim {

class PeFile {
 public:
  // Throws LoadError naming `name` when the bytes are not a well-formed
  // PE32 i386 native image whose sections all lie within the file.
  PeFile(std::string name, std::span<const std::uint8_t> bytes);

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const { return bytes_; }
  [[nodiscard]] const pe::FileHeader& fileHeader() const { return fileHeader_; }
  [[nodiscard]] const pe::OptionalHeader32& optionalHeader() const { return optional_; }
  [[nodiscard]] const std::vector<pe::SectionHeader>& sections() const { return sections_; }

  // Bytes the section occupies once mapped, and bytes of it the file holds.
  [[nodiscard]] static std::uint32_t mappedSize(const pe::SectionHeader& section);
  [[nodiscard]] static std::uint32_t fileSize(const pe::SectionHeader& section);
  [[nodiscard]] static std::string sectionName(const pe::SectionHeader& section);

  // The section holding `rva`, if any.
  [[nodiscard]] const pe::SectionHeader* sectionAt(std::uint32_t rva) const;

  [[noreturn]] void fail(std::string_view problem) const;

 private:
  template <class T>
  T read(std::uint64_t offset, std::string_view what) const;
  void checkLayout() const;
  void checkSections() const;

  std::string name_;
  std::span<const std::uint8_t> bytes_;
  pe::FileHeader fileHeader_{};
  pe::OptionalHeader32 optional_{};
  std::vector<pe::SectionHeader> sections_;
};

}  // namespace kl::sim
