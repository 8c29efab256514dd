#include "sim/loader/pe_file.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sim/loader/load_error.h"

namespace kl::sim {

namespace {

// Larger than any miniport could be; keeps a corrupt header from asking for
// a mapping of gigabytes.
constexpr std::uint32_t kMaxImageSize = 64U << 20U;
// The fixed part of the PE32 optional header, before the data directories.
constexpr std::uint32_t kOptionalFixedSize = offsetof(pe::OptionalHeader32, Directory);
constexpr std::uint16_t kMaxSections = 96;

bool powerOfTwo(std::uint32_t value) { return std::has_single_bit(value); }

}  // namespace

std::string hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xFU]);
    value >>= 4U;
  } while (value != 0);
  return "0x" + digits;
}

PeFile::PeFile(std::string name, std::span<const std::uint8_t> bytes)
    : name_(std::move(name)), bytes_(bytes) {
  if (bytes_.size() < sizeof(pe::DosHeader) ||
      read<pe::DosHeader>(0, "DOS header").e_magic != pe::kDosSignature) {
    fail("not a PE image: no MZ header");
  }
  const std::uint32_t ntOffset = read<pe::DosHeader>(0, "DOS header").e_lfanew;
  if (read<std::uint32_t>(ntOffset, "PE signature") != pe::kNtSignature) {
    fail("not a PE image: no PE signature at " + hex(ntOffset));
  }
  fileHeader_ = read<pe::FileHeader>(std::uint64_t{ntOffset} + 4, "COFF file header");
  if (fileHeader_.Machine != pe::kMachineI386) {
    fail("not an i386 image: machine " + hex(fileHeader_.Machine));
  }
  const std::uint64_t optionalOffset = std::uint64_t{ntOffset} + 4 + sizeof(pe::FileHeader);
  const std::uint16_t optionalSize = fileHeader_.SizeOfOptionalHeader;
  if (optionalSize < kOptionalFixedSize) {
    fail("not a PE32 image: optional header of " + std::to_string(optionalSize) + " bytes");
  }
  if (read<std::uint16_t>(optionalOffset, "optional header") != pe::kOptionalMagicPe32) {
    fail("not a PE32 image: optional header magic " +
         hex(read<std::uint16_t>(optionalOffset, "optional header")));
  }
  // Only the directories the header says it has are read; the others stay
  // empty.
  if (optionalOffset + optionalSize > bytes_.size()) {
    fail("truncated: the optional header runs past the end of the file");
  }
  std::memcpy(&optional_, bytes_.data() + optionalOffset,
              std::min<std::size_t>(optionalSize, sizeof(optional_)));
  if (optional_.NumberOfRvaAndSizes > pe::kDirectoryCount ||
      kOptionalFixedSize + optional_.NumberOfRvaAndSizes * sizeof(pe::DataDirectory) >
          optionalSize) {
    fail(std::to_string(optional_.NumberOfRvaAndSizes) +
         " data directories do not fit the optional header");
  }
  std::fill(std::begin(optional_.Directory) + optional_.NumberOfRvaAndSizes,
            std::end(optional_.Directory), pe::DataDirectory{});

  if (fileHeader_.NumberOfSections == 0 || fileHeader_.NumberOfSections > kMaxSections) {
    fail(std::to_string(fileHeader_.NumberOfSections) + " sections");
  }
  const std::uint64_t tableOffset = optionalOffset + optionalSize;
  for (std::uint16_t i = 0; i < fileHeader_.NumberOfSections; ++i) {
    sections_.push_back(
        read<pe::SectionHeader>(tableOffset + i * sizeof(pe::SectionHeader), "section table"));
  }
  if (tableOffset + sections_.size() * sizeof(pe::SectionHeader) > optional_.SizeOfHeaders) {
    fail("the section table lies past SizeOfHeaders");
  }
  checkLayout();
  checkSections();
}

template <class T>
T PeFile::read(std::uint64_t offset, std::string_view what) const {
  if (offset + sizeof(T) > bytes_.size()) {
    fail("truncated: the " + std::string(what) + " at " + hex(offset) +
         " runs past the end of the file (" + hex(bytes_.size()) + " bytes)");
  }
  T value;
  std::memcpy(&value, bytes_.data() + offset, sizeof(T));
  return value;
}

void PeFile::checkLayout() const {
  if ((fileHeader_.Characteristics & pe::kFileExecutableImage) == 0) {
    fail("not an executable image (an object file?)");
  }
  if ((fileHeader_.Characteristics & pe::kFileDll) != 0) {
    fail("a DLL, not a driver");
  }
  if (optional_.Subsystem != pe::kSubsystemNative) {
    fail("subsystem " + std::to_string(optional_.Subsystem) + " is not native: not a driver");
  }
  if (!powerOfTwo(optional_.SectionAlignment) || !powerOfTwo(optional_.FileAlignment) ||
      optional_.FileAlignment > optional_.SectionAlignment) {
    fail("section alignment " + hex(optional_.SectionAlignment) + " and file alignment " +
         hex(optional_.FileAlignment) + " are not powers of two with file <= section");
  }
  if (optional_.SizeOfImage == 0 || optional_.SizeOfImage > kMaxImageSize) {
    fail("SizeOfImage " + hex(optional_.SizeOfImage) + " is implausible for a driver");
  }
  if (optional_.SizeOfHeaders > optional_.SizeOfImage) {
    fail("SizeOfHeaders " + hex(optional_.SizeOfHeaders) + " exceeds SizeOfImage");
  }
  if (optional_.SizeOfHeaders > bytes_.size()) {
    fail("truncated: the headers need " + hex(optional_.SizeOfHeaders) +
         " bytes but the file has " + hex(bytes_.size()));
  }
}

void PeFile::checkSections() const {
  std::uint64_t mappedEnd = optional_.SizeOfHeaders;
  for (const pe::SectionHeader& section : sections_) {
    const std::string label = "section " + sectionName(section);
    if (section.VirtualAddress % optional_.SectionAlignment != 0) {
      fail(label + " at RVA " + hex(section.VirtualAddress) + " is not section-aligned");
    }
    if (section.VirtualAddress < mappedEnd) {
      fail(label + " at RVA " + hex(section.VirtualAddress) +
           " overlaps the headers or the section before it");
    }
    mappedEnd = std::uint64_t{section.VirtualAddress} + mappedSize(section);
    if (mappedEnd > optional_.SizeOfImage) {
      fail(label + " ends at RVA " + hex(mappedEnd) + ", outside the image (SizeOfImage " +
           hex(optional_.SizeOfImage) + ")");
    }
    if (fileSize(section) != 0 &&
        std::uint64_t{section.PointerToRawData} + fileSize(section) > bytes_.size()) {
      fail("truncated: " + label + " needs file bytes up to " +
           hex(std::uint64_t{section.PointerToRawData} + fileSize(section)) +
           " but the file ends at " + hex(bytes_.size()));
    }
  }
  const pe::SectionHeader* entry = sectionAt(optional_.AddressOfEntryPoint);
  if (entry == nullptr || (entry->Characteristics & pe::kSectionExecute) == 0) {
    fail("the entry point at RVA " + hex(optional_.AddressOfEntryPoint) +
         " is not in an executable section");
  }
}

std::uint32_t PeFile::mappedSize(const pe::SectionHeader& section) {
  return section.VirtualSize != 0 ? section.VirtualSize : section.SizeOfRawData;
}

std::uint32_t PeFile::fileSize(const pe::SectionHeader& section) {
  return std::min(section.SizeOfRawData, mappedSize(section));
}

std::string PeFile::sectionName(const pe::SectionHeader& section) {
  return {section.Name, strnlen(section.Name, sizeof(section.Name))};
}

const pe::SectionHeader* PeFile::sectionAt(std::uint32_t rva) const {
  const auto it = std::ranges::find_if(sections_, [rva](const pe::SectionHeader& section) {
    return rva >= section.VirtualAddress && rva - section.VirtualAddress < mappedSize(section);
  });
  return it == sections_.end() ? nullptr : &*it;
}

void PeFile::fail(std::string_view problem) const { throw LoadError(name_, problem); }

}  // namespace kl::sim
