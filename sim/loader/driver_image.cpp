#include "sim/loader/driver_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/host/machine.h"
#include "sim/loader/host_exports.h"
#include "sim/loader/load_error.h"
#include "sim/loader/pe_file.h"

namespace kl::sim {

static_assert(sizeof(void*) == 4, "a PE32 i386 image runs only in a 32-bit host");

namespace {

// What released initialisation code is filled with where it shares a page
// with resident code or data: int3, so a call into it traps at once.
constexpr std::uint8_t kReleasedFill = 0xCC;

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

// The mapped image, addressed by RVA; every access is checked against the
// image's extent.
class ImageView {
 public:
  ImageView(const PeFile& file, std::span<std::uint8_t> bytes) : file_(file), bytes_(bytes) {}

  void check(std::uint64_t rva, std::uint64_t size, std::string_view what) const {
    if (rva + size > bytes_.size()) {
      file_.fail(std::string(what) + " at RVA " + hex(rva) + " lies outside the image");
    }
  }

  [[nodiscard]] std::uint32_t read32(std::uint32_t rva, std::string_view what) const {
    check(rva, 4, what);
    std::uint32_t value = 0;
    std::memcpy(&value, bytes_.data() + rva, 4);
    return value;
  }

  void write32(std::uint32_t rva, std::uint32_t value) const {
    std::memcpy(bytes_.data() + rva, &value, 4);
  }

  template <class T>
  [[nodiscard]] T read(std::uint32_t rva, std::string_view what) const {
    check(rva, sizeof(T), what);
    T value;
    std::memcpy(&value, bytes_.data() + rva, sizeof(T));
    return value;
  }

  // A NUL-terminated name that must end inside the image.
  [[nodiscard]] std::string_view name(std::uint32_t rva, std::string_view what) const {
    check(rva, 1, what);
    const auto* first = reinterpret_cast<const char*>(bytes_.data() + rva);
    const std::size_t length = strnlen(first, bytes_.size() - rva);
    if (rva + length == bytes_.size()) {
      file_.fail(std::string(what) + " at RVA " + hex(rva) + " runs off the end of the image");
    }
    return {first, length};
  }

  [[nodiscard]] const PeFile& file() const { return file_; }
  [[nodiscard]] std::uint32_t size() const { return static_cast<std::uint32_t>(bytes_.size()); }

 private:
  const PeFile& file_;
  std::span<std::uint8_t> bytes_;
};

void copySections(const PeFile& file, std::span<std::uint8_t> image) {
  const auto source = file.bytes();
  std::copy_n(source.begin(), file.optionalHeader().SizeOfHeaders, image.begin());
  for (const pe::SectionHeader& section : file.sections()) {
    std::copy_n(source.begin() + section.PointerToRawData, PeFile::fileSize(section),
                image.begin() + section.VirtualAddress);
  }
}

// Moves every absolute address in the image by the distance between the base
// it was linked for and the one it got.
void applyRelocations(const ImageView& image, std::uint32_t base) {
  const auto& header = image.file().optionalHeader();
  const pe::DataDirectory directory = header.Directory[pe::kDirectoryBaseReloc];
  const std::uint32_t delta = base - header.ImageBase;
  if (directory.Size == 0 ||
      (image.file().fileHeader().Characteristics & pe::kFileRelocsStripped) != 0) {
    if (delta != 0) {
      image.file().fail("has no base relocations, so it cannot be moved from its base " +
                        hex(header.ImageBase));
    }
    return;
  }
  image.check(directory.VirtualAddress, directory.Size, "the base relocation directory");
  std::uint32_t offset = 0;
  while (offset < directory.Size) {
    const std::uint32_t blockRva = directory.VirtualAddress + offset;
    if (directory.Size - offset < sizeof(pe::BaseRelocationBlock)) {
      image.file().fail("a truncated base relocation block at RVA " + hex(blockRva));
    }
    const auto block = image.read<pe::BaseRelocationBlock>(blockRva, "a base relocation block");
    if (block.SizeOfBlock < sizeof(block) || block.SizeOfBlock % 2 != 0 ||
        block.SizeOfBlock > directory.Size - offset) {
      image.file().fail("the base relocation block at RVA " + hex(blockRva) + " has size " +
                        hex(block.SizeOfBlock));
    }
    for (std::uint32_t entry = sizeof(block); entry < block.SizeOfBlock; entry += 2) {
      const auto fixup = image.read<std::uint16_t>(blockRva + entry, "a base relocation");
      const unsigned type = fixup >> 12U;
      const std::uint64_t site = std::uint64_t{block.VirtualAddress} + (fixup & 0xFFFU);
      if (type == pe::kRelocAbsolute) {
        continue;
      }
      if (type != pe::kRelocHighLow) {
        image.file().fail("base relocation type " + std::to_string(type) + " at RVA " + hex(site) +
                          " is not one an i386 image uses");
      }
      if (site + 4 > image.size()) {
        image.file().fail("a base relocation at RVA " + hex(site) + " lies outside the image");
      }
      const auto rva32 = static_cast<std::uint32_t>(site);
      const std::uint32_t target = image.read32(rva32, "a relocated address");
      // One past the end is still an address of the image (the end of an
      // array that closes it).
      if (target - header.ImageBase > image.size()) {
        image.file().fail("the base relocation at RVA " + hex(site) + " points to " + hex(target) +
                          ", outside the image (" + hex(header.ImageBase) + " to " +
                          hex(std::uint64_t{header.ImageBase} + image.size()) + ")");
      }
      image.write32(rva32, target + delta);
    }
    offset += block.SizeOfBlock;
  }
}

// Fills every import address slot with the host function of that name; all
// the imports the host lacks are named together.
void bindImports(const ImageView& image, const HostExports& exports) {
  const pe::DataDirectory directory = image.file().optionalHeader().Directory[pe::kDirectoryImport];
  if (directory.Size == 0) {
    return;
  }
  std::vector<std::string> missing;
  for (std::uint32_t rva = directory.VirtualAddress;; rva += sizeof(pe::ImportDescriptor)) {
    const auto descriptor = image.read<pe::ImportDescriptor>(rva, "an import descriptor");
    if (descriptor.Name == 0 && descriptor.FirstThunk == 0) {
      break;
    }
    const std::string_view module = image.name(descriptor.Name, "an imported module's name");
    const std::uint32_t names =
        descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
    for (std::uint32_t slot = 0;; slot += 4) {
      const std::uint32_t thunk = image.read32(names + slot, "an import name table");
      if (thunk == 0) {
        break;
      }
      image.check(descriptor.FirstThunk + std::uint64_t{slot}, 4, "an import address table");
      if ((thunk & pe::kImportByOrdinal) != 0) {
        missing.push_back(std::string(module) + " ordinal " + std::to_string(thunk & 0xFFFFU) +
                          " (imports by ordinal)");
        continue;
      }
      // A hint (2 bytes), then the name.
      const std::string_view function = image.name(thunk + 2, "an imported function's name");
      const void* address = exports.find(module, function);
      if (address == nullptr) {
        missing.push_back(std::string(module) + "!" + std::string(function));
        continue;
      }
      image.write32(descriptor.FirstThunk + slot,
                    static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address)));
    }
  }
  if (!missing.empty()) {
    std::string list;
    for (const std::string& name : missing) {
      list += (list.empty() ? "" : ", ") + name;
    }
    image.file().fail("imports what this host does not provide: " + list);
  }
}

int protectionOf(std::uint32_t characteristics) {
  int protection = PROT_NONE;
  if ((characteristics & (pe::kSectionRead | pe::kSectionExecute)) != 0) {
    protection |= PROT_READ;
  }
  if ((characteristics & pe::kSectionWrite) != 0) {
    protection |= PROT_WRITE;
  }
  if ((characteristics & pe::kSectionExecute) != 0) {
    protection |= PROT_EXEC;
  }
  return protection;
}

// The system discards INIT after the entry point returns, and every section
// marked discardable with it.
bool discardable(const pe::SectionHeader& section) {
  return PeFile::sectionName(section) == "INIT" ||
         (section.Characteristics & pe::kSectionDiscardable) != 0;
}

std::size_t pagesFor(std::uint64_t bytes) {
  return (bytes + ImageMapping::pageSize() - 1) / ImageMapping::pageSize();
}

}  // namespace

DriverImage::DriverImage(const std::filesystem::path& file)
    : DriverImage(file.string(), readFile(file)) {}

DriverImage::DriverImage(std::string name, std::span<const std::uint8_t> bytes)
    : name_(std::move(name)) {
  const PeFile file(name_, bytes);
  const pe::OptionalHeader32& header = file.optionalHeader();
  ImageMapping mapping(header.SizeOfImage);
  const auto image = mapping.bytes().first(header.SizeOfImage);
  const ImageView view(file, image);
  copySections(file, image);
  applyRelocations(view, static_cast<std::uint32_t>(mapping.address()));
  bindImports(view, HostExports());

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
  grant(0, header.SizeOfHeaders, PROT_READ, true);
  for (const pe::SectionHeader& section : file.sections()) {
    const bool initOnly = discardable(section);
    grant(section.VirtualAddress, PeFile::mappedSize(section),
          protectionOf(section.Characteristics), !initOnly);
    if (initOnly) {
      discardable_.push_back({section.VirtualAddress, PeFile::mappedSize(section)});
    }
  }
  for (std::size_t page = 0; page < pageProtection_.size(); ++page) {
    mapping.protect(page, 1, pageProtection_[page]);
  }
  entryRva_ = header.AddressOfEntryPoint;
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
      std::fill(image.begin() + from, image.begin() + to, kReleasedFill);
      mapping_.protect(page, 1, pageProtection_[page]);
    }
  }
}

}  // namespace kl::sim
