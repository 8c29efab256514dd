#include "sim/loader/driver_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/host/machine.h"
#include "sim/loader/host_exports.h"
#include "sim/loader/load_error.h"
#include "sim/pe/pe_image.h"
#include "windows/platform_exports.h"

namespace kl::sim {

static_assert(sizeof(void*) == 4, "a PE32 i386 image runs only in a 32-bit host");

namespace {

// Larger than any miniport could be; keeps a corrupt header from asking for
// a mapping of gigabytes.
constexpr std::uint32_t kMaxImageSize = 64U << 20U;
// What released initialisation code is filled with where it shares a page
// with resident code or data: int3, so a call into it traps at once.
constexpr std::uint8_t kReleasedFill = 0xCC;
constexpr std::uint16_t kDosSignature = 0x5A4D;  // "MZ"

std::string hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xFU]);
    value >>= 4U;
  } while (value != 0);
  return "0x" + digits;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw LoadError(file.string(), "cannot be opened");
  }
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
  if (in.bad()) {
    throw LoadError(file.string(), "cannot be read");
  }
  return bytes;
}

pe::Image parse(const std::string& name, std::vector<std::uint8_t> bytes) {
  // Anything that does not even start like an executable is said to be so,
  // rather than a truncated one.
  if (bytes.size() < 2 || (bytes[0] | (bytes[1] << 8U)) != kDosSignature) {
    throw LoadError(name, "not a PE image: no MZ signature");
  }
  try {
    return pe::Image(std::move(bytes));
  } catch (const pe::FormatError& error) {
    throw LoadError(name, error.what());
  }
}

// Bytes the section occupies once mapped, and bytes of it the file holds.
std::uint32_t mappedSize(const pe::Section& section) {
  return section.virtualSize != 0 ? section.virtualSize : section.rawSize;
}

std::uint32_t fileSize(const pe::Section& section) {
  return std::min(section.rawSize, mappedSize(section));
}

// What the reader of the headers leaves to a loader: that this is an i386
// driver, and that its sections fit the image they claim to make up.
void checkLoadable(const std::string& name, const pe::Image& file) {
  const auto fail = [&](const std::string& problem) { throw LoadError(name, problem); };
  const pe::OptionalHeader& header = file.optional();
  if (file.machine() != pe::kMachineI386) {
    fail("not an i386 image: machine " + hex(file.machine()));
  }
  if ((file.characteristics() & pe::kFileExecutable) == 0) {
    fail("not an executable image (an object file?)");
  }
  if ((file.characteristics() & pe::kFileDll) != 0) {
    fail("a DLL, not a driver");
  }
  if (header.subsystem != pe::kSubsystemNative) {
    fail("subsystem " + std::to_string(header.subsystem) + " is not native: not a driver");
  }
  if (!std::has_single_bit(header.sectionAlignment) || !std::has_single_bit(header.fileAlignment) ||
      header.fileAlignment > header.sectionAlignment) {
    fail("section alignment " + hex(header.sectionAlignment) + " and file alignment " +
         hex(header.fileAlignment) + " are not powers of two with file <= section");
  }
  if (header.sizeOfImage == 0 || header.sizeOfImage > kMaxImageSize) {
    fail("SizeOfImage " + hex(header.sizeOfImage) + " is implausible for a driver");
  }
  if (header.sizeOfHeaders > header.sizeOfImage || header.sizeOfHeaders > file.bytes().size()) {
    fail("SizeOfHeaders " + hex(header.sizeOfHeaders) +
         " exceeds the image or the file that holds it");
  }
  if (file.sections().empty()) {
    fail("no sections");
  }
  std::uint64_t mappedEnd = header.sizeOfHeaders;
  for (const pe::Section& section : file.sections()) {
    const std::string label = "section " + pe::printable(section.name);
    if (section.virtualAddress % header.sectionAlignment != 0) {
      fail(label + " at RVA " + hex(section.virtualAddress) + " is not section-aligned");
    }
    if (section.virtualAddress < mappedEnd) {
      fail(label + " at RVA " + hex(section.virtualAddress) +
           " overlaps the headers or the section before it");
    }
    mappedEnd = std::uint64_t{section.virtualAddress} + mappedSize(section);
    if (mappedEnd > header.sizeOfImage) {
      fail(label + " ends at RVA " + hex(mappedEnd) + ", outside the image (SizeOfImage " +
           hex(header.sizeOfImage) + ")");
    }
  }
  const pe::Section* entry = file.sectionAt(header.entryPoint);
  if (entry == nullptr || !entry->has(pe::kSectionExecute)) {
    fail("the entry point at RVA " + hex(header.entryPoint) + " is not in an executable section");
  }
}

void copySections(const pe::Image& file, std::span<std::uint8_t> image) {
  const auto source = file.bytes();
  std::ranges::copy(source.first(file.optional().sizeOfHeaders), image.begin());
  for (const pe::Section& section : file.sections()) {
    std::ranges::copy(source.subspan(section.rawOffset, fileSize(section)),
                      image.subspan(section.virtualAddress).begin());
  }
}

std::uint32_t read32(std::span<const std::uint8_t> image, std::uint32_t rva) {
  std::uint32_t value = 0;
  std::memcpy(&value, image.data() + rva, sizeof(value));
  return value;
}

void write32(std::span<std::uint8_t> image, std::uint32_t rva, std::uint32_t value) {
  std::memcpy(image.data() + rva, &value, sizeof(value));
}

// Moves every absolute address in the image by the distance between the base
// it was linked for and the one it got.
void applyRelocations(const std::string& name, const pe::Image& file, std::span<std::uint8_t> image,
                      std::uint32_t base) {
  const auto fail = [&](const std::string& problem) { throw LoadError(name, problem); };
  const std::uint32_t linkedBase = file.optional().imageBase;
  const std::uint32_t delta = base - linkedBase;
  if (file.directory(pe::kDirectoryBaseRelocation).size == 0 ||
      (file.characteristics() & pe::kFileRelocsStripped) != 0) {
    if (delta != 0) {
      fail("has no base relocations, so it cannot be moved from its base " + hex(linkedBase));
    }
    return;
  }
  std::vector<pe::Relocation> relocations;
  try {
    relocations = file.relocations();
  } catch (const pe::FormatError& error) {
    fail(error.what());
  }
  for (const pe::Relocation& relocation : relocations) {
    if (relocation.type == pe::kRelocationAbsolute) {
      continue;
    }
    if (relocation.type != pe::kRelocationHighLow) {
      fail("base relocation type " + std::to_string(relocation.type) + " at RVA " +
           hex(relocation.rva) + " is not one an i386 image uses");
    }
    if (std::uint64_t{relocation.rva} + 4 > image.size()) {
      fail("a base relocation at RVA " + hex(relocation.rva) + " lies outside the image");
    }
    const std::uint32_t target = read32(image, relocation.rva);
    // One past the end is still an address of the image (the end of an
    // array that closes it).
    if (target - linkedBase > image.size()) {
      fail("the base relocation at RVA " + hex(relocation.rva) + " points to " + hex(target) +
           ", outside the image (" + hex(linkedBase) + " to " +
           hex(std::uint64_t{linkedBase} + image.size()) + ")");
    }
    write32(image, relocation.rva, target + delta);
  }
}

// The imports by name that the system's own modules do not export: the
// system's loader would refuse the image for any of them, so this one does
// too, whatever the host could offer. Named together, as NAME from MODULE.
std::string notExportedByTheSystem(const std::vector<pe::Import>& imports) {
  std::string unexported;
  for (const pe::Import& import : imports) {
    if (!import.name.empty() &&
        windows::findPlatformExport(import.module, import.name) == nullptr) {
      unexported += (unexported.empty() ? "" : ", ") + pe::printable(import.name) + " from " +
                    pe::printable(import.module);
    }
  }
  return unexported;
}

// Fills every import address slot with the host function of that name; all
// the imports the host lacks are named together.
void bindImports(const std::string& name, const pe::Image& file, std::span<std::uint8_t> image,
                 const HostExports& exports) {
  std::vector<pe::Import> imports;
  try {
    imports = file.imports();
  } catch (const pe::FormatError& error) {
    throw LoadError(name, error.what());
  }
  if (const std::string unexported = notExportedByTheSystem(imports); !unexported.empty()) {
    throw LoadError(name, "imports what the system's modules do not export: " + unexported);
  }
  std::string missing;
  for (const pe::Import& import : imports) {
    if (std::uint64_t{import.thunkRva} + 4 > image.size()) {
      throw LoadError(name, "the import address slot of " + pe::printable(import.module) + "!" +
                                pe::printable(import.name) + " at RVA " + hex(import.thunkRva) +
                                " lies outside the image");
    }
    const HostExport* found =
        import.name.empty() ? nullptr : exports.find(import.module, import.name);
    if (found == nullptr) {
      missing += (missing.empty() ? "" : ", ") + pe::printable(import.module) +
                 (import.name.empty()
                      ? " ordinal " + std::to_string(import.ordinalOrHint) + " (imports by ordinal)"
                      : "!" + pe::printable(import.name));
      continue;
    }
    write32(image, import.thunkRva,
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(found->address)));
  }
  if (!missing.empty()) {
    throw LoadError(name, "imports what this host does not provide: " + missing);
  }
}

int protectionOf(const pe::Section& section) {
  int protection = PROT_NONE;
  if ((section.characteristics & (pe::kSectionRead | pe::kSectionExecute)) != 0) {
    protection |= PROT_READ;
  }
  if (section.has(pe::kSectionWrite)) {
    protection |= PROT_WRITE;
  }
  if (section.has(pe::kSectionExecute)) {
    protection |= PROT_EXEC;
  }
  return protection;
}

// The system discards INIT after the entry point returns, and every section
// marked discardable with it.
bool discardable(const pe::Section& section) {
  return section.name == "INIT" || section.has(pe::kSectionDiscardable);
}

std::size_t pagesFor(std::uint64_t bytes) {
  return (bytes + ImageMapping::pageSize() - 1) / ImageMapping::pageSize();
}

}  // namespace

DriverImage::DriverImage(const std::filesystem::path& file)
    : DriverImage(file.string(), readFile(file)) {}

DriverImage::DriverImage(std::string name, std::vector<std::uint8_t> bytes)
    : name_(std::move(name)) {
  const pe::Image file = parse(name_, std::move(bytes));
  checkLoadable(name_, file);
  const pe::OptionalHeader& header = file.optional();
  ImageMapping mapping(header.sizeOfImage);
  const auto image = mapping.bytes().first(header.sizeOfImage);
  copySections(file, image);
  applyRelocations(name_, file, image, static_cast<std::uint32_t>(mapping.address()));
  bindImports(name_, file, image, HostExports());

  // A page shared by sections gets what each of them needs; the headers are
  // read-only and what no section covers is not accessible at all.
  pageProtection_.assign(pagesFor(mapping.bytes().size()), PROT_NONE);
  residentPage_.assign(pageProtection_.size(), false);
  const auto grant = [&](std::uint64_t rva, std::uint64_t size, int protection, bool resident) {
    const std::size_t first = rva / ImageMapping::pageSize();
    for (std::size_t page = first; page < pagesFor(rva + size); ++page) {
      pageProtection_[page] |= protection;
      residentPage_[page] = residentPage_[page] || resident;
    }
  };
  grant(0, header.sizeOfHeaders, PROT_READ, true);
  for (const pe::Section& section : file.sections()) {
    const bool initOnly = discardable(section);
    grant(section.virtualAddress, mappedSize(section), protectionOf(section), !initOnly);
    if (initOnly) {
      discardable_.push_back({section.virtualAddress, mappedSize(section)});
    }
  }
  for (std::size_t page = 0; page < pageProtection_.size(); ++page) {
    mapping.protect(page, 1, pageProtection_[page]);
  }
  entryRva_ = header.entryPoint;
  mapping_ = std::move(mapping);
}
NTSTATUS DriverImage::callEntry(Machine& machine) {
  if (entryCalled_) {
    throw LoadError(name_, "its entry point was already called; the system calls it once");
  }
  entryCalled_ = true;
  const auto entry = reinterpret_cast<DriverEntryFunction>(base() + entryRva_);
  const NTSTATUS status = machine.loadDriver(entry);
  releaseDiscardable();
  return status;
}

bool DriverImage::contains(const void* address) const {
  return reinterpret_cast<std::uintptr_t>(address) - base() < mapping_.bytes().size();
}

bool DriverImage::released(const void* address) const {
  if (!entryCalled_ || !contains(address)) {
    return false;
  }
  const std::uintptr_t rva = reinterpret_cast<std::uintptr_t>(address) - base();
  return std::ranges::any_of(discardable_,
                             [rva](const Range& range) { return rva - range.rva < range.size; });
}

// Whole pages of released sections become inaccessible; where a page is
// shared with the headers or a resident section, only the released bytes are
// overwritten.
void DriverImage::releaseDiscardable() {
  const std::size_t pageSize = ImageMapping::pageSize();
  const std::span<std::uint8_t> image = mapping_.bytes();
  for (const Range& range : discardable_) {
    const std::size_t first = range.rva / pageSize;
    for (std::size_t page = first; page < pagesFor(std::uint64_t{range.rva} + range.size); ++page) {
      if (!residentPage_[page]) {
        pageProtection_[page] = PROT_NONE;
        mapping_.protect(page, 1, PROT_NONE);
        continue;
      }
      const std::size_t from = std::max<std::size_t>(range.rva, page * pageSize);
      const std::size_t to = std::min<std::size_t>(range.rva + range.size, (page + 1) * pageSize);
      mapping_.protect(page, 1, pageProtection_[page] | PROT_WRITE);
      std::ranges::fill(image.subspan(from, to - from), kReleasedFill);
      mapping_.protect(page, 1, pageProtection_[page]);
    }
  }
}

}  // namespace kl::sim
