// A reader of PE32 images as the Windows loader sees them: headers, sections,
// the data directories (imports, base relocations) and the COFF symbols a
// GNU link leaves behind. It only reads; every offset is checked against the
// file, so a truncated or malformed image gives a FormatError naming the
// problem instead of a read out of bounds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/pe/coff_symbols.h"
#include "sim/pe/reader.h"

namespace kl::pe {

inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kOptionalMagicPe32 = 0x010B;
inline constexpr std::uint16_t kSubsystemNative = 1;

// File header characteristics.
inline constexpr std::uint16_t kFileRelocsStripped = 0x0001;
inline constexpr std::uint16_t kFileExecutable = 0x0002;
inline constexpr std::uint16_t kFile32BitMachine = 0x0100;
inline constexpr std::uint16_t kFileDll = 0x2000;

// Section characteristics, and where they sit in a section header.
inline constexpr std::size_t kSectionCharacteristicsOffset = 36;
inline constexpr std::uint32_t kSectionCode = 0x00000020;
inline constexpr std::uint32_t kSectionInitializedData = 0x00000040;
inline constexpr std::uint32_t kSectionUninitializedData = 0x00000080;
inline constexpr std::uint32_t kSectionDiscardable = 0x02000000;
inline constexpr std::uint32_t kSectionNotPaged = 0x08000000;
inline constexpr std::uint32_t kSectionExecute = 0x20000000;
inline constexpr std::uint32_t kSectionRead = 0x40000000;
inline constexpr std::uint32_t kSectionWrite = 0x80000000;

// Data directory slots.
inline constexpr std::size_t kDirectoryExport = 0;
inline constexpr std::size_t kDirectoryImport = 1;
inline constexpr std::size_t kDirectoryBaseRelocation = 5;

// Base relocation types an i386 image carries.
inline constexpr std::uint8_t kRelocationAbsolute = 0;  // padding
inline constexpr std::uint8_t kRelocationHighLow = 3;   // a 32-bit address

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct Section {
  std::string name;
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t characteristics = 0;
  std::size_t headerOffset = 0;  // file offset of this section's header

  [[nodiscard]] bool contains(std::uint32_t rva) const {
    return rva >= virtualAddress && rva - virtualAddress < std::max(virtualSize, rawSize);
  }
  [[nodiscard]] bool has(std::uint32_t flags) const { return (characteristics & flags) == flags; }
};

struct Import {
  std::string module;
  std::string name;  // empty for an import by ordinal
  std::uint16_t ordinalOrHint = 0;
  std::uint32_t thunkRva = 0;  // the import address table slot the loader fills
};

struct Relocation {
  std::uint32_t rva = 0;
  std::uint8_t type = 0;
};

struct OptionalHeader {
  std::uint32_t entryPoint = 0;
  std::uint32_t imageBase = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t fileAlignment = 0;
  std::uint16_t majorOsVersion = 0;
  std::uint16_t minorOsVersion = 0;
  std::uint16_t majorSubsystemVersion = 0;
  std::uint16_t minorSubsystemVersion = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::uint32_t checksum = 0;
  std::uint16_t subsystem = 0;
  std::uint16_t dllCharacteristics = 0;
};

class Image {
 public:
  // Throws FormatError when the bytes are not a well-formed PE32 image.
  explicit Image(std::vector<std::uint8_t> bytes);
  static Image load(const std::string& path);

  [[nodiscard]] std::span<const std::uint8_t> bytes() const { return bytes_; }
  [[nodiscard]] std::uint16_t machine() const { return machine_; }
  [[nodiscard]] std::uint16_t characteristics() const { return characteristics_; }
  [[nodiscard]] const OptionalHeader& optional() const { return optional_; }
  [[nodiscard]] const std::vector<Section>& sections() const { return sections_; }
  [[nodiscard]] DataDirectory directory(std::size_t index) const;
  // File offset of the checksum field, which the checksum leaves out.
  [[nodiscard]] std::size_t checksumOffset() const { return checksumOffset_; }

  [[nodiscard]] const Section* sectionAt(std::uint32_t rva) const;
  [[nodiscard]] const Section* sectionNamed(const std::string& name) const;
  // `size` bytes of the mapped image at `rva`; throws FormatError when they
  // are not all backed by one section's file data.
  [[nodiscard]] std::span<const std::uint8_t> at(std::uint32_t rva, std::size_t size) const;

  [[nodiscard]] std::vector<Import> imports() const;
  [[nodiscard]] std::vector<Relocation> relocations() const;
  [[nodiscard]] std::vector<Symbol> symbols() const { return symbolTable_.read(bytes_); }

 private:
  [[nodiscard]] std::string stringAt(std::uint32_t rva) const;

  std::vector<std::uint8_t> bytes_;
  std::uint16_t machine_ = 0;
  std::uint16_t characteristics_ = 0;
  SymbolTable symbolTable_;
  OptionalHeader optional_;
  std::vector<DataDirectory> directories_;
  std::vector<Section> sections_;
  std::size_t checksumOffset_ = 0;
};

}  // namespace kl::pe
