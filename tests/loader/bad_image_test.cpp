// Files the loader must refuse: each is the good probe image spoilt in one
// way, or no image at all. Every refusal names the file and the problem, and
// leaves nothing mapped behind.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "probe_image.h"
#include "sim/loader/driver_image.h"
#include "sim/loader/load_error.h"
#include "sim/loader/pe_format.h"

namespace kl::test {
namespace {

namespace pe = sim::pe;
using Bytes = std::vector<std::uint8_t>;

template <class T>
T get(const Bytes& bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, &bytes.at(offset + sizeof(T) - 1) - (sizeof(T) - 1), sizeof(T));
  return value;
}

template <class T>
void put(Bytes& bytes, std::size_t offset, T value) {
  std::memcpy(&bytes.at(offset + sizeof(T) - 1) - (sizeof(T) - 1), &value, sizeof(T));
}

// Where the headers of the good image lie in its file.
struct Layout {
  explicit Layout(const Bytes& bytes)
      : nt(get<std::uint32_t>(bytes, offsetof(pe::DosHeader, e_lfanew))),
        fileHeader(nt + 4),
        optional(fileHeader + sizeof(pe::FileHeader)),
        sections(optional + get<pe::FileHeader>(bytes, fileHeader).SizeOfOptionalHeader),
        header(get<pe::OptionalHeader32>(bytes, optional)) {
    const auto count = get<pe::FileHeader>(bytes, fileHeader).NumberOfSections;
    for (std::uint16_t i = 0; i < count; ++i) {
      table.push_back(get<pe::SectionHeader>(bytes, sections + i * sizeof(pe::SectionHeader)));
    }
  }

  [[nodiscard]] std::size_t fileOffset(std::uint32_t rva) const {
    for (const pe::SectionHeader& section : table) {
      if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData) {
        return section.PointerToRawData + (rva - section.VirtualAddress);
      }
    }
    throw std::out_of_range("RVA not in the file");
  }
  [[nodiscard]] std::size_t directory(unsigned index) const {
    return fileOffset(header.Directory[index].VirtualAddress);
  }
  [[nodiscard]] std::size_t optionalField(std::size_t member) const { return optional + member; }
  // The first HIGHLOW relocation's site, as a file offset.
  [[nodiscard]] std::size_t firstRelocatedSite(const Bytes& bytes) const {
    const std::size_t block = directory(pe::kDirectoryBaseReloc);
    const auto page = get<std::uint32_t>(bytes, block);
    const auto entry = get<std::uint16_t>(bytes, block + sizeof(pe::BaseRelocationBlock));
    return fileOffset(page + (entry & 0xFFFU));
  }

  std::size_t nt;
  std::size_t fileHeader;
  std::size_t optional;
  std::size_t sections;
  pe::OptionalHeader32 header;
  std::vector<pe::SectionHeader> table;
};

struct BadImage {
  const char* name;
  std::function<void(Bytes&, const Layout&)> spoil;
  const char* problem;  // what the refusal says, after the file's name
};

std::ostream& operator<<(std::ostream& out, const BadImage& bad) { return out << bad.name; }

#define KL_FIELD(member) offsetof(pe::OptionalHeader32, member)

const BadImage kBadImages[] = {
    {"EmptyFile", [](Bytes& b, const Layout&) { b.clear(); }, "not a PE image: no MZ header"},
    {"TextFile",
     [](Bytes& b, const Layout&) {
       b.assign({'K', 'L', '7', '0', '4', '6', '\n'});
     },
     "not a PE image: no MZ header"},
    {"ElfExecutable",
     [](Bytes& b, const Layout&) {
       b = fileBytes("/proc/self/exe");
       b.resize(4096);
     },
     "not a PE image: no MZ header"},
    {"NoPeSignature", [](Bytes& b, const Layout& l) { put<std::uint32_t>(b, l.nt, 0); },
     "not a PE image: no PE signature"},
    {"NtHeadersPastTheEnd",
     [](Bytes& b, const Layout&) {
       put<std::uint32_t>(b, offsetof(pe::DosHeader, e_lfanew), 0x7FFFFFF0);
     },
     "truncated: the PE signature at 0x7ffffff0 runs past the end of the file"},
    {"Amd64Machine",
     [](Bytes& b, const Layout& l) {
       put<std::uint16_t>(b, l.fileHeader + offsetof(pe::FileHeader, Machine), 0x8664);
     },
     "not an i386 image: machine 0x8664"},
    {"Pe32PlusHeader",
     [](Bytes& b, const Layout& l) {
       put<std::uint16_t>(b, l.optionalField(KL_FIELD(Magic)), 0x20B);
     },
     "not a PE32 image: optional header magic 0x20b"},
    {"WindowsGuiSubsystem",
     [](Bytes& b, const Layout& l) {
       put<std::uint16_t>(b, l.optionalField(KL_FIELD(Subsystem)), 2);
     },
     "subsystem 2 is not native: not a driver"},
    {"Dll",
     [](Bytes& b, const Layout& l) {
       const std::size_t at = l.fileHeader + offsetof(pe::FileHeader, Characteristics);
       put<std::uint16_t>(b, at, get<std::uint16_t>(b, at) | pe::kFileDll);
     },
     "a DLL, not a driver"},
    {"TruncatedInTheHeaders", [](Bytes& b, const Layout& l) { b.resize(l.sections + 8); },
     "truncated: the section table"},
    {"TruncatedInTheLastSection",
     [](Bytes& b, const Layout& l) { b.resize(l.table.back().PointerToRawData + 0x10); },
     "truncated: section .reloc needs file bytes up to"},
    {"ImageTooLarge",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.optionalField(KL_FIELD(SizeOfImage)), 0x7FFFF000);
     },
     "SizeOfImage 0x7ffff000 is implausible for a driver"},
    {"SectionPastSizeOfImage",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.optionalField(KL_FIELD(SizeOfImage)), l.table.back().VirtualAddress);
     },
     "section .reloc ends at RVA"},
    {"EntryPointInData",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.optionalField(KL_FIELD(AddressOfEntryPoint)),
                          l.table.back().VirtualAddress);
     },
     "is not in an executable section"},
    {"RelocationPointsOutsideTheImage",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.firstRelocatedSite(b),
                          l.header.ImageBase + l.header.SizeOfImage + 0x1000);
     },
     "outside the image"},
    {"RelocationSiteOutsideTheImage",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.directory(pe::kDirectoryBaseReloc), l.header.SizeOfImage);
     },
     "a base relocation at RVA"},
    {"RelocationOfAnotherMachine",
     [](Bytes& b, const Layout& l) {
       const std::size_t entry = l.directory(pe::kDirectoryBaseReloc) + 8;
       put<std::uint16_t>(b, entry, (get<std::uint16_t>(b, entry) & 0xFFFU) | 0xA000U);
     },
     "base relocation type 10"},
    {"RelocationBlockPastItsDirectory",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.directory(pe::kDirectoryBaseReloc) + 4, 0x10000);
     },
     "has size 0x10000"},
    {"RelocationsStripped",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.optionalField(KL_FIELD(Directory[pe::kDirectoryBaseReloc].Size)), 0);
     },
     "has no base relocations, so it cannot be moved from its base 0x10000"},
    {"ImportedModuleNameOutsideTheImage",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(
           b, l.directory(pe::kDirectoryImport) + offsetof(pe::ImportDescriptor, Name), 0x7FFFFFFF);
     },
     "an imported module's name at RVA 0x7fffffff lies outside the image"},
    {"ImportByOrdinal",
     [](Bytes& b, const Layout& l) {
       const auto names =
           get<std::uint32_t>(b, l.directory(pe::kDirectoryImport) +
                                     offsetof(pe::ImportDescriptor, OriginalFirstThunk));
       put<std::uint32_t>(b, l.fileOffset(names), pe::kImportByOrdinal | 7U);
     },
     "ordinal 7 (imports by ordinal)"},
};

// Mappings of this process, to see that a refused image leaves none behind.
std::size_t mappingCount() {
  std::ifstream maps("/proc/self/maps");
  std::size_t lines = 0;
  for (std::string line; std::getline(maps, line);) {
    ++lines;
  }
  return lines;
}

class RefusedImage : public ::testing::TestWithParam<BadImage> {};

TEST_P(RefusedImage, NamesTheFileAndTheProblem) {
  Bytes bytes = fileBytes(probeImage("probe"));
  const Layout layout(bytes);
  GetParam().spoil(bytes, layout);
  const std::string name = std::string(GetParam().name) + ".sys";

  const std::size_t mappings = mappingCount();
  try {
    const sim::DriverImage image(name, bytes);
    FAIL() << "the image was loaded at " << image.base();
  } catch (const sim::LoadError& error) {
    const std::string message = error.what();
    EXPECT_EQ(message.rfind(name + ": ", 0), 0U) << message;
    EXPECT_NE(message.find(GetParam().problem), std::string::npos) << message;
  }
  EXPECT_EQ(mappingCount(), mappings);
}

INSTANTIATE_TEST_SUITE_P(Spoilt, RefusedImage, ::testing::ValuesIn(kBadImages),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(RefusedImage, AFileThatIsNotThere) {
  EXPECT_THROW(
      {
        try {
          sim::DriverImage image(probeImage("no_such_driver"));
        } catch (const sim::LoadError& error) {
          EXPECT_NE(std::string(error.what()).find("no_such_driver.sys: cannot be opened"),
                    std::string::npos);
          throw;
        }
      },
      sim::LoadError);
}

TEST(AcceptedImage, TheUnspoiltProbeLoads) {
  const Bytes bytes = fileBytes(probeImage("probe"));
  const sim::DriverImage image("probe.sys", bytes);
  EXPECT_NE(image.base(), 0U);
}

}  // namespace
}  // namespace kl::test
