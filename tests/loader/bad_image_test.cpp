// Files the loader must refuse: each is the good probe image spoilt in one
// way, or no image at all. Every refusal names the file and the problem, and
// leaves nothing mapped behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include "probe_image.h"
#include "sim/loader/driver_image.h"
#include "sim/loader/load_error.h"
#include "sim/pe/pe_image.h"
#include "support/image_pages.h"

namespace kl::test {
namespace {

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

// Gives the probe's import of NdisSystemProcessorCount another name, at most
// as long.
void renameImport(Bytes& bytes, const std::string& name) {
  const std::string from("NdisSystemProcessorCount", sizeof("NdisSystemProcessorCount"));
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  if (at == bytes.end() || name.size() >= from.size()) {
    throw std::logic_error("the probe no longer imports NdisSystemProcessorCount");
  }
  std::string to = name;
  to.resize(from.size(), '\0');
  std::copy(to.begin(), to.end(), at);
}

// Offsets of the PE/COFF header fields the cases spoil.
constexpr std::size_t kLfanew = 0x3C;
constexpr std::size_t kFileMachine = 0;
constexpr std::size_t kFileCharacteristics = 18;
constexpr std::size_t kOptionalMagic = 0;
constexpr std::size_t kOptionalEntryPoint = 16;
constexpr std::size_t kOptionalSizeOfImage = 56;
constexpr std::size_t kOptionalSubsystem = 68;
constexpr std::size_t kOptionalDirectories = 96;
constexpr std::size_t kImportName = 12;
constexpr std::size_t kImportAddressTable = 16;
constexpr std::uint32_t kImportByOrdinal = 0x80000000;

// Where the headers of the good image lie in its file.
struct Layout {
  explicit Layout(const Bytes& bytes)
      : image(bytes),
        fileHeader(get<std::uint32_t>(bytes, kLfanew) + 4),
        optional(fileHeader + 20) {}

  [[nodiscard]] std::size_t fileOffset(std::uint32_t rva) const {
    const pe::Section* section = image.sectionAt(rva);
    if (section == nullptr) {
      throw std::out_of_range("RVA not in the file");
    }
    return section->rawOffset + (rva - section->virtualAddress);
  }
  [[nodiscard]] std::size_t directory(std::size_t index) const {
    return fileOffset(image.directory(index).rva);
  }
  [[nodiscard]] std::size_t directoryEntry(std::size_t index) const {
    return optional + kOptionalDirectories + index * 8;
  }
  // The first HIGHLOW relocation's site, as a file offset.
  [[nodiscard]] std::size_t firstRelocatedSite() const {
    for (const pe::Relocation& relocation : image.relocations()) {
      if (relocation.type == pe::kRelocationHighLow) {
        return fileOffset(relocation.rva);
      }
    }
    throw std::out_of_range("no relocation");
  }
  [[nodiscard]] const pe::Section& lastSection() const { return image.sections().back(); }

  pe::Image image;
  std::size_t fileHeader;
  std::size_t optional;
};

struct BadImage {
  const char* name;
  std::function<void(Bytes&, const Layout&)> spoil;
  const char* problem;  // what the refusal says, after the file's name
};

std::ostream& operator<<(std::ostream& out, const BadImage& bad) { return out << bad.name; }

const BadImage kBadImages[] = {
    {"EmptyFile", [](Bytes& b, const Layout&) { b.clear(); }, "not a PE image: no MZ signature"},
    {"TextFile",
     [](Bytes& b, const Layout&) {
       b.assign({'K', 'L', '7', '0', '4', '6', '\n'});
     },
     "not a PE image: no MZ signature"},
    {"ElfExecutable",
     [](Bytes& b, const Layout&) {
       b = fileBytes("/proc/self/exe");
       b.resize(4096);
     },
     "not a PE image: no MZ signature"},
    {"NoPeSignature", [](Bytes& b, const Layout& l) { put<std::uint32_t>(b, l.fileHeader - 4, 0); },
     "not a PE image: no PE signature"},
    {"NtHeadersPastTheEnd",
     [](Bytes& b, const Layout&) { put<std::uint32_t>(b, kLfanew, 0x7FFFFFF0); },
     "truncated image: PE signature runs past the end of the file"},
    {"Amd64Machine",
     [](Bytes& b, const Layout& l) { put<std::uint16_t>(b, l.fileHeader + kFileMachine, 0x8664); },
     "not an i386 image: machine 0x8664"},
    {"Pe32PlusHeader",
     [](Bytes& b, const Layout& l) { put<std::uint16_t>(b, l.optional + kOptionalMagic, 0x20B); },
     "not a PE32 image"},
    {"WindowsGuiSubsystem",
     [](Bytes& b, const Layout& l) { put<std::uint16_t>(b, l.optional + kOptionalSubsystem, 2); },
     "subsystem 2 is not native: not a driver"},
    {"Dll",
     [](Bytes& b, const Layout& l) {
       const std::size_t at = l.fileHeader + kFileCharacteristics;
       put<std::uint16_t>(b, at, get<std::uint16_t>(b, at) | pe::kFileDll);
     },
     "a DLL, not a driver"},
    {"TruncatedInTheHeaders",
     [](Bytes& b, const Layout& l) { b.resize(l.image.sections().front().headerOffset + 8); },
     "truncated image: section table runs past the end of the file"},
    {"TruncatedInTheLastSection",
     [](Bytes& b, const Layout& l) { b.resize(l.lastSection().rawOffset + 0x10); },
     "truncated image: section .reloc runs past the end of the file"},
    {"ImageTooLarge",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.optional + kOptionalSizeOfImage, 0x7FFFF000);
     },
     "SizeOfImage 0x7ffff000 is implausible for a driver"},
    {"SectionPastSizeOfImage",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.optional + kOptionalSizeOfImage, l.lastSection().virtualAddress);
     },
     "section .reloc ends at RVA"},
    {"SectionNamedWithAControlByte",
     [](Bytes& b, const Layout& l) {
       b.at(l.lastSection().headerOffset + 1) = 0x1B;
       put<std::uint32_t>(b, l.optional + kOptionalSizeOfImage, l.lastSection().virtualAddress);
     },
     "section .\\x1Beloc ends at RVA"},
    {"EntryPointInData",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.optional + kOptionalEntryPoint, l.lastSection().virtualAddress);
     },
     "is not in an executable section"},
    {"RelocationPointsOutsideTheImage",
     [](Bytes& b, const Layout& l) {
       const pe::OptionalHeader& header = l.image.optional();
       put<std::uint32_t>(b, l.firstRelocatedSite(),
                          header.imageBase + header.sizeOfImage + 0x1000);
     },
     ", outside the image (0x10000 to"},
    {"RelocationSiteOutsideTheImage",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.directory(pe::kDirectoryBaseRelocation),
                          l.image.optional().sizeOfImage);
     },
     "lies outside the image"},
    {"RelocationOfAnotherMachine",
     [](Bytes& b, const Layout& l) {
       const std::size_t entry = l.directory(pe::kDirectoryBaseRelocation) + 8;
       put<std::uint16_t>(b, entry, (get<std::uint16_t>(b, entry) & 0xFFFU) | 0xA000U);
     },
     "base relocation type 10"},
    {"RelocationBlockPastItsDirectory",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.directory(pe::kDirectoryBaseRelocation) + 4, 0x10000);
     },
     "a base relocation block of a bad size"},
    {"RelocationsStripped",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.directoryEntry(pe::kDirectoryBaseRelocation) + 4, 0);
     },
     "has no base relocations, so it cannot be moved from its base 0x10000"},
    {"ImportedModuleNameOutsideTheImage",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.directory(pe::kDirectoryImport) + kImportName, 0x7FFFFFFF);
     },
     "a name lies outside every section"},
    // Read through its lookup table, bound through an address table that
    // starts past the image's end.
    {"ImportAddressSlotOutsideTheImage",
     [](Bytes& b, const Layout& l) {
       put<std::uint32_t>(b, l.directory(pe::kDirectoryImport) + kImportAddressTable,
                          l.image.optional().sizeOfImage);
     },
     "the import address slot of HAL.dll!KeStallExecutionProcessor at RVA"},
    {"ImportByOrdinal",
     [](Bytes& b, const Layout& l) {
       const auto names = get<std::uint32_t>(b, l.directory(pe::kDirectoryImport));
       put<std::uint32_t>(b, l.fileOffset(names), kImportByOrdinal | 7U);
     },
     "ordinal 7 (imports by ordinal)"},
    // NdisQueryPacket is a macro of the platform's headers, not an export.
    {"ImportTheSystemDoesNotExport",
     [](Bytes& b, const Layout& /*l*/) { renameImport(b, "NdisQueryPacket"); },
     "imports what the system's modules do not export: NdisQueryPacket from NDIS.SYS"},
    // A name quoted from the image reaches the terminal escaped.
    {"ImportNamedWithAControlByte",
     [](Bytes& b, const Layout& /*l*/) { renameImport(b, "Ndis\x1B[2J"); },
     "imports what the system's modules do not export: Ndis\\x1B[2J from NDIS.SYS"},
};

class RefusedImage : public ::testing::TestWithParam<BadImage> {};

TEST_P(RefusedImage, NamesTheFileAndTheProblem) {
  Bytes bytes = fileBytes(probeImage("probe"));
  const Layout layout(bytes);
  GetParam().spoil(bytes, layout);
  const std::string name = std::string(GetParam().name) + ".sys";

  try {
    const sim::DriverImage image(name, bytes);
    FAIL() << "the image was loaded at " << image.base();
  } catch (const sim::LoadError& error) {
    const std::string message = error.what();
    EXPECT_EQ(message.rfind(name + ": ", 0), 0U) << message;
    EXPECT_NE(message.find(GetParam().problem), std::string::npos) << message;
  }
  EXPECT_EQ(LiveImagePages(), 0U) << "the refused image stays mapped";
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
  {
    const sim::DriverImage image("probe.sys", bytes);
    EXPECT_NE(image.base(), 0U);
    EXPECT_NE(LiveImagePages(), 0U) << "the image's pages are not counted";
  }
  EXPECT_EQ(LiveImagePages(), 0U) << "the dropped image stays mapped";
}

}  // namespace
}  // namespace kl::test
