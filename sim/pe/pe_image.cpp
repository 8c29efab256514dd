#include "sim/pe/pe_image.h"

#include <fstream>
#include <iterator>

namespace kl::pe {
namespace {

constexpr std::size_t kDosLfanewOffset = 0x3C;
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kOptionalChecksumOffset = 64;
constexpr std::size_t kOptionalDirectoriesOffset = 96;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::uint32_t kImportByOrdinal = 0x80000000;

}  // namespace

Image::Image(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
  const Reader r(bytes_);
  if (r.u16(0, "DOS header") != 0x5A4D) {
    throw FormatError("not a PE image: no MZ signature");
  }
  const std::uint32_t pe = r.u32(kDosLfanewOffset, "DOS header");
  if (r.u32(pe, "PE signature") != kPeSignature) {
    throw FormatError("not a PE image: no PE signature where the DOS header points");
  }
  const std::size_t fileHeader = std::size_t{pe} + 4;
  machine_ = r.u16(fileHeader, "file header");
  const std::uint16_t sectionCount = r.u16(fileHeader + 2, "file header");
  symbolTable_ =
      SymbolTable(r.u32(fileHeader + 8, "file header"), r.u32(fileHeader + 12, "file header"));
  const std::uint16_t optionalSize = r.u16(fileHeader + 16, "file header");
  characteristics_ = r.u16(fileHeader + 18, "file header");

  const std::size_t opt = fileHeader + kFileHeaderSize;
  if (optionalSize < kOptionalDirectoriesOffset ||
      r.u16(opt, "optional header") != kOptionalMagicPe32) {
    throw FormatError("not a PE32 image: the optional header is not PE32");
  }
  r.require(opt, optionalSize, "optional header");
  optional_.entryPoint = r.u32(opt + 16, "optional header");
  optional_.imageBase = r.u32(opt + 28, "optional header");
  optional_.sectionAlignment = r.u32(opt + 32, "optional header");
  optional_.fileAlignment = r.u32(opt + 36, "optional header");
  optional_.majorOsVersion = r.u16(opt + 40, "optional header");
  optional_.minorOsVersion = r.u16(opt + 42, "optional header");
  optional_.majorSubsystemVersion = r.u16(opt + 48, "optional header");
  optional_.minorSubsystemVersion = r.u16(opt + 50, "optional header");
  optional_.sizeOfImage = r.u32(opt + 56, "optional header");
  optional_.sizeOfHeaders = r.u32(opt + 60, "optional header");
  checksumOffset_ = opt + kOptionalChecksumOffset;
  optional_.checksum = r.u32(checksumOffset_, "optional header");
  optional_.subsystem = r.u16(opt + 68, "optional header");
  optional_.dllCharacteristics = r.u16(opt + 70, "optional header");
  const std::uint32_t directoryCount = r.u32(opt + 92, "optional header");
  if (directoryCount > (optionalSize - kOptionalDirectoriesOffset) / 8) {
    throw FormatError("malformed image: more data directories than the optional header holds");
  }
  for (std::uint32_t i = 0; i < directoryCount; ++i) {
    const std::size_t d = opt + kOptionalDirectoriesOffset + std::size_t{i} * 8;
    directories_.push_back({r.u32(d, "data directory"), r.u32(d + 4, "data directory")});
  }

  const std::size_t table = opt + optionalSize;
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::size_t h = table + std::size_t{i} * kSectionHeaderSize;
    Section s;
    s.name = fixedName(r.span(h, 8, "section table"));
    s.virtualSize = r.u32(h + 8, "section table");
    s.virtualAddress = r.u32(h + 12, "section table");
    s.rawSize = r.u32(h + 16, "section table");
    s.rawOffset = r.u32(h + 20, "section table");
    s.characteristics = r.u32(h + kSectionCharacteristicsOffset, "section table");
    s.headerOffset = h;
    r.require(s.rawOffset, s.rawSize, ("section " + printable(s.name)).c_str());
    sections_.push_back(std::move(s));
  }
  for (Section& s : sections_) {
    s.name = symbolTable_.sectionName(bytes_, s.name);
  }
}

Image Image::load(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw FormatError(path + ": cannot be read");
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
  try {
    return Image(std::move(bytes));
  } catch (const FormatError& e) {
    throw FormatError(path + ": " + e.what());
  }
}

DataDirectory Image::directory(std::size_t index) const {
  return index < directories_.size() ? directories_[index] : DataDirectory{};
}

const Section* Image::sectionAt(std::uint32_t rva) const {
  for (const Section& s : sections_) {
    if (s.contains(rva)) {
      return &s;
    }
  }
  return nullptr;
}

const Section* Image::sectionNamed(const std::string& name) const {
  for (const Section& s : sections_) {
    if (s.name == name) {
      return &s;
    }
  }
  return nullptr;
}

std::span<const std::uint8_t> Image::at(std::uint32_t rva, std::size_t size) const {
  const Section* s = sectionAt(rva);
  const std::uint32_t into = s != nullptr ? rva - s->virtualAddress : 0;
  if (s == nullptr || into > s->rawSize || size > s->rawSize - into) {
    throw FormatError("malformed image: RVA " + std::to_string(rva) +
                      " is not backed by section data");
  }
  return std::span(bytes_).subspan(s->rawOffset + into, size);
}

std::string Image::stringAt(std::uint32_t rva) const {
  const Section* s = sectionAt(rva);
  if (s == nullptr || rva - s->virtualAddress >= s->rawSize) {
    throw FormatError("malformed image: a name lies outside every section");
  }
  const auto rest = at(rva, s->rawSize - (rva - s->virtualAddress));
  std::string text;
  for (const std::uint8_t c : rest) {
    if (c == 0) {
      return text;
    }
    text.push_back(static_cast<char>(c));
  }
  throw FormatError("malformed image: an unterminated name");
}

std::vector<Import> Image::imports() const {
  std::vector<Import> found;
  const DataDirectory dir = directory(kDirectoryImport);
  if (dir.rva == 0) {
    return found;
  }
  for (std::uint32_t d = dir.rva;; d += kImportDescriptorSize) {
    const Reader desc(at(d, kImportDescriptorSize));
    const std::uint32_t lookup = desc.u32(0, "import descriptor");
    const std::uint32_t nameRva = desc.u32(12, "import descriptor");
    const std::uint32_t thunks = desc.u32(16, "import descriptor");
    if (nameRva == 0 && thunks == 0) {
      return found;
    }
    const std::string module = stringAt(nameRva);
    const std::uint32_t table = lookup != 0 ? lookup : thunks;
    for (std::uint32_t i = 0;; ++i) {
      const std::uint32_t entry = Reader(at(table + i * 4, 4)).u32(0, "import lookup table");
      if (entry == 0) {
        break;
      }
      Import imp{module, {}, 0, thunks + i * 4};
      if ((entry & kImportByOrdinal) != 0) {
        imp.ordinalOrHint = static_cast<std::uint16_t>(entry);
      } else {
        imp.ordinalOrHint = Reader(at(entry, 2)).u16(0, "import hint");
        imp.name = stringAt(entry + 2);
      }
      found.push_back(std::move(imp));
    }
  }
}

std::vector<Relocation> Image::relocations() const {
  std::vector<Relocation> found;
  const DataDirectory dir = directory(kDirectoryBaseRelocation);
  std::uint32_t block = dir.rva;
  while (dir.rva != 0 && block < dir.rva + dir.size) {
    const Reader head(at(block, 8));
    const std::uint32_t page = head.u32(0, "relocation block");
    const std::uint32_t size = head.u32(4, "relocation block");
    if (size < 8 || size > dir.rva + dir.size - block) {
      throw FormatError("malformed image: a base relocation block of a bad size");
    }
    const Reader entries(at(block + 8, size - 8));
    for (std::uint32_t i = 0; i + 2 <= size - 8; i += 2) {
      const std::uint16_t e = entries.u16(i, "relocation entry");
      found.push_back({page + (e & 0x0FFFu), static_cast<std::uint8_t>(e >> 12)});
    }
    block += size;
  }
  return found;
}

}  // namespace kl::pe
