// kl7046.sys as the NT loader sees it: a native i386 kernel image entered at
// DriverEntry, importing exactly what the driver's objects reference from the
// kernel's modules, with its initialisation code where the placement markers
// put it, relocatable, and with a checksum the loader accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "driver_keywords.h"
#include "driver_objects.h"
#include "sim/pe/checksum.h"
#include "sim/pe/pe_image.h"
#include "windows/platform_exports.h"

namespace kl::test {
namespace {

const pe::Image& shipped() {
  static const pe::Image image = pe::Image::load(KL_IMAGE);
  return image;
}

const pe::Image& withSymbols() {
  static const pe::Image image = pe::Image::load(KL_SYMBOLS_IMAGE);
  return image;
}

const std::vector<ObjectSymbol>& objectSymbols() {
  static const std::vector<ObjectSymbol> symbols = readObjectSymbols(KL_OBJECTS_NM);
  return symbols;
}

// The image section a symbol of the symbol-carrying image lies in.
std::string imageSectionOf(const pe::Symbol& symbol) {
  const auto& sections = withSymbols().sections();
  if (symbol.section < 1 || static_cast<std::size_t>(symbol.section) > sections.size()) {
    return {};
  }
  return sections[static_cast<std::size_t>(symbol.section) - 1].name;
}

// Image symbols by name, for the names that occur once.
std::map<std::string, pe::Symbol> uniqueImageSymbols() {
  std::map<std::string, pe::Symbol> unique;
  std::set<std::string> repeated;
  for (const pe::Symbol& s : withSymbols().symbols()) {
    if (s.section < 1 || !unique.emplace(s.name, s).second) {
      repeated.insert(s.name);
    }
  }
  for (const std::string& name : repeated) {
    unique.erase(name);
  }
  return unique;
}

TEST(WindowsImage, IsANativeI386KernelImage) {
  const pe::Image& image = shipped();
  const pe::OptionalHeader& opt = image.optional();
  EXPECT_EQ(image.machine(), pe::kMachineI386);
  EXPECT_TRUE((image.characteristics() & pe::kFileExecutable) != 0);
  EXPECT_TRUE((image.characteristics() & pe::kFile32BitMachine) != 0);
  EXPECT_EQ(image.characteristics() & (pe::kFileDll | pe::kFileRelocsStripped), 0);
  EXPECT_EQ(opt.subsystem, pe::kSubsystemNative);
  EXPECT_EQ(opt.majorSubsystemVersion, 4);
  EXPECT_EQ(opt.minorSubsystemVersion, 0);
  EXPECT_EQ(opt.majorOsVersion, 4);
  EXPECT_EQ(opt.imageBase, 0x10000u);
  EXPECT_EQ(opt.sectionAlignment, 0x1000u);
  EXPECT_EQ(opt.fileAlignment, 0x200u);
  EXPECT_EQ(opt.sizeOfImage % opt.sectionAlignment, 0u);
  for (const pe::Section& s : image.sections()) {
    EXPECT_EQ(s.virtualAddress % opt.sectionAlignment, 0u) << s.name;
    EXPECT_EQ(s.rawOffset % opt.fileAlignment, 0u) << s.name;
    EXPECT_LE(s.virtualAddress + s.virtualSize, opt.sizeOfImage) << s.name;
  }
}

TEST(WindowsImage, HasAValidChecksum) {
  const pe::Image& image = shipped();
  EXPECT_NE(image.optional().checksum, 0u);
  EXPECT_EQ(image.optional().checksum, pe::computeChecksum(image.bytes(), image.checksumOffset()));
}

TEST(WindowsImage, ExportsNothing) {
  const pe::DataDirectory exports = shipped().directory(pe::kDirectoryExport);
  EXPECT_EQ(exports.rva, 0u);
  EXPECT_EQ(exports.size, 0u);
}

TEST(WindowsImage, EntersAtDriverEntryInDiscardableCode) {
  const pe::Image& image = shipped();
  const pe::Section* init = image.sectionNamed("INIT");
  ASSERT_NE(init, nullptr);
  EXPECT_TRUE(init->contains(image.optional().entryPoint));

  const auto symbols = uniqueImageSymbols();
  const auto entry = symbols.find("_DriverEntry@8");
  ASSERT_NE(entry, symbols.end()) << "no stdcall DriverEntry taking two arguments";
  const pe::Section* section = withSymbols().sectionNamed(imageSectionOf(entry->second));
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(section->virtualAddress + entry->second.value, image.optional().entryPoint);
}

// Moving the image to another base must move every absolute address in it.
TEST(WindowsImage, RelocatesEveryAbsoluteAddress) {
  const pe::Image& image = shipped();
  const std::vector<pe::Relocation> relocations = image.relocations();
  ASSERT_FALSE(relocations.empty());
  const std::uint32_t base = image.optional().imageBase;
  for (const pe::Relocation& r : relocations) {
    if (r.type == pe::kRelocationAbsolute) {
      continue;
    }
    ASSERT_EQ(r.type, pe::kRelocationHighLow) << "at RVA " << r.rva;
    const auto slot = image.at(r.rva, 4);
    const std::uint32_t target = std::uint32_t{slot[0]} | (std::uint32_t{slot[1]} << 8) |
                                 (std::uint32_t{slot[2]} << 16) | (std::uint32_t{slot[3]} << 24);
    EXPECT_GE(target, base) << "at RVA " << r.rva;
    EXPECT_LT(target, base + image.optional().sizeOfImage) << "at RVA " << r.rva;
  }
}

// Exactly the operations the driver's objects call, each from the module that
// exports it under the name it exports: nothing from a C or C++ runtime.
TEST(WindowsImage, ImportsExactlyWhatTheDriverReferences) {
  const std::string dir = KL_WINDOWS_DIR;
  const auto definitions =
      readModuleDefinitions({dir + "/ndis.def", dir + "/hal.def", dir + "/ntoskrnl.def"});

  std::set<std::pair<std::string, std::string>> expected;
  for (const std::string& reference : externalReferences(objectSymbols())) {
    const auto found = definitions.find(reference);
    ASSERT_NE(found, definitions.end())
        << "the driver references " << reference << ", which no kernel module exports";
    expected.emplace(found->second.module, found->second.name);
  }
  ASSERT_FALSE(expected.empty());

  std::set<std::pair<std::string, std::string>> imported;
  for (const pe::Import& imp : shipped().imports()) {
    EXPECT_FALSE(imp.name.empty()) << "an import by ordinal from " << imp.module;
    EXPECT_TRUE(imported.emplace(imp.module, imp.name).second)
        << imp.module << " " << imp.name << " is imported twice";
  }
  EXPECT_EQ(imported, expected);
}

// The system's loader binds each import by name in the module the image
// names, and refuses the whole image for one it cannot bind.
TEST(WindowsImage, ImportsOnlyWhatTheSystemsModulesExport) {
  for (const pe::Import& imp : shipped().imports()) {
    EXPECT_NE(windows::findPlatformExport(imp.module, imp.name), nullptr)
        << imp.module << " does not export " << imp.name;
  }
}

// The import libraries the driver links against promise each operation's
// argument bytes; the system's modules must take the same. (A name@0 pops
// nothing, as a cdecl callee does.)
TEST(WindowsImage, ModuleDefinitionsAgreeWithTheSystemsExports) {
  const std::string dir = KL_WINDOWS_DIR;
  const auto definitions =
      readModuleDefinitions({dir + "/ndis.def", dir + "/hal.def", dir + "/ntoskrnl.def"});
  ASSERT_FALSE(definitions.empty());
  for (const auto& [symbol, entry] : definitions) {
    const windows::PlatformExport* real = windows::findPlatformExport(entry.module, entry.name);
    ASSERT_NE(real, nullptr) << entry.module << " does not export " << entry.name;
    const auto at = symbol.rfind('@');
    const unsigned bytes = at == std::string::npos ? 0 : std::stoul(symbol.substr(at + 1));
    EXPECT_EQ(bytes, real->argumentBytes) << entry.name;
    EXPECT_NE(real->convention, windows::PlatformExport::Convention::kFastcall) << entry.name;
  }
}

// The cdecl error-log entry takes its values as variable arguments; a stdcall
// decoration would make NDIS and the driver disagree on who pops them.
TEST(WindowsImage, CallsTheErrorLogAsCdecl) {
  const auto references = externalReferences(objectSymbols());
  for (const std::string& name : references) {
    if (sourceName(name) == "NdisWriteErrorLogEntry") {
      EXPECT_EQ(name, "_NdisWriteErrorLogEntry");
    }
  }
}

struct SectionRule {
  const char* name;
  bool required;
  std::uint32_t set;
  std::uint32_t clear;
};

void PrintTo(const SectionRule& rule, std::ostream* os) { *os << rule.name; }

class SectionFlags : public ::testing::TestWithParam<SectionRule> {};

TEST_P(SectionFlags, CarryTheirCharacteristics) {
  const SectionRule& rule = GetParam();
  const pe::Section* section = shipped().sectionNamed(rule.name);
  if (section == nullptr) {
    EXPECT_FALSE(rule.required) << "no " << rule.name << " section";
    return;
  }
  EXPECT_TRUE(section->has(rule.set)) << std::hex << section->characteristics;
  EXPECT_EQ(section->characteristics & rule.clear, 0u) << std::hex << section->characteristics;
}

constexpr std::uint32_t kCode = pe::kSectionCode | pe::kSectionExecute | pe::kSectionRead;
constexpr std::uint32_t kData = pe::kSectionInitializedData | pe::kSectionRead;

INSTANTIATE_TEST_SUITE_P(
    Placement, SectionFlags,
    ::testing::Values(
        // Resident code, and code paged out after initialisation.
        SectionRule{".text", true, kCode, pe::kSectionDiscardable | pe::kSectionWrite},
        SectionRule{"PAGE", true, kCode, pe::kSectionDiscardable | pe::kSectionWrite},
        // Freed once DriverEntry has returned.
        SectionRule{"INIT", true, kCode | pe::kSectionDiscardable, pe::kSectionWrite},
        // Pageable data: the keyword strings.
        SectionRule{"PAGEDATA", true, kData | pe::kSectionWrite,
                    pe::kSectionDiscardable | pe::kSectionExecute},
        // The import address table stays for the life of the driver.
        SectionRule{".idata", true, kData, pe::kSectionDiscardable | pe::kSectionExecute}),
    [](const auto& param) {
      std::string name = param.param.name;
      std::erase(name, '.');
      return name;
    });

TEST(WindowsImage, DiscardsOnlyInitAndRelocations) {
  for (const pe::Section& s : shipped().sections()) {
    if (s.has(pe::kSectionDiscardable)) {
      EXPECT_TRUE(s.name == "INIT" || s.name == ".reloc") << s.name;
    }
    EXPECT_FALSE(s.has(pe::kSectionWrite | pe::kSectionExecute)) << s.name << " is writable code";
  }
}

TEST(WindowsImage, ShipsWithoutSymbolsAndAsTheCheckedLayout) {
  EXPECT_TRUE(shipped().symbols().empty());
  const auto& a = shipped().sections();
  const auto& b = withSymbols().sections();
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_EQ(a[i].virtualAddress, b[i].virtualAddress) << a[i].name;
    EXPECT_EQ(a[i].virtualSize, b[i].virtualSize) << a[i].name;
    EXPECT_EQ(a[i].characteristics, b[i].characteristics) << a[i].name;
    EXPECT_TRUE(std::ranges::equal(shipped().bytes().subspan(a[i].rawOffset, a[i].rawSize),
                                   withSymbols().bytes().subspan(b[i].rawOffset, b[i].rawSize)))
        << a[i].name << " differs between the two links";
  }
}

// Every routine and object lands in the image section of the same name as the
// object section its placement marker gave it.
TEST(WindowsImage, KeepsEachSymbolInTheSectionItsMarkerChose) {
  const auto image = uniqueImageSymbols();
  std::size_t checked = 0;
  for (const ObjectSymbol& s : objectSymbols()) {
    const auto found = image.find(s.name);
    if (s.section.empty() || found == image.end()) {
      continue;
    }
    const std::string section = s.section.substr(0, s.section.find('$'));
    EXPECT_EQ(imageSectionOf(found->second), section) << s.name;
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

struct Placement {
  const char* routine;
  const char* section;
};

void PrintTo(const Placement& p, std::ostream* os) { *os << p.routine; }

class RoutinePlacement : public ::testing::TestWithParam<Placement> {};

// The entry point runs once; the initialisation routines run only at passive
// level; everything NDIS can call at DISPATCH or device level stays resident.
TEST_P(RoutinePlacement, LiesWhereItsInterruptLevelAllows) {
  const Placement& p = GetParam();
  std::vector<std::string> found;
  for (const pe::Symbol& s : withSymbols().symbols()) {
    if (s.isFunction() && sourceName(s.name) == p.routine) {
      found.push_back(imageSectionOf(s));
    }
  }
  ASSERT_FALSE(found.empty()) << "no routine " << p.routine << " in the image";
  for (const std::string& section : found) {
    EXPECT_EQ(section, p.section);
  }
}

INSTANTIATE_TEST_SUITE_P(Routines, RoutinePlacement,
                         ::testing::Values(Placement{"DriverEntry", "INIT"},
                                           Placement{"MiniportInitialize", "PAGE"},
                                           Placement{"MiniportHalt", ".text"},
                                           Placement{"MiniportReset", ".text"},
                                           Placement{"MiniportISR", ".text"},
                                           Placement{"MiniportDisableInterrupt", ".text"},
                                           Placement{"MiniportEnableInterrupt", ".text"},
                                           Placement{"MiniportHandleInterrupt", ".text"},
                                           Placement{"MiniportSend", ".text"},
                                           Placement{"MiniportTransferData", ".text"},
                                           Placement{"MiniportQueryInformation", ".text"},
                                           Placement{"MiniportSetInformation", ".text"}),
                         [](const auto& param) { return std::string(param.param.routine); });

// The keyword names are read only during initialisation: their characters
// are paged out with the code that reads them, not left resident.
TEST(WindowsImage, KeepsTheKeywordStringsPageable) {
  for (const DriverKeyword& k : driverKeywords()) {
    const std::string name = keywordName(*k.keyword);
    std::vector<std::uint8_t> text;
    for (const char c : name + '\0') {
      text.push_back(static_cast<std::uint8_t>(c));
      text.push_back(0);
    }
    std::vector<std::string> holders;
    for (const pe::Section& s : shipped().sections()) {
      const auto data = shipped().bytes().subspan(s.rawOffset, s.rawSize);
      for (auto at = data.begin();
           (at = std::search(at, data.end(), text.begin(), text.end())) != data.end(); ++at) {
        holders.push_back(s.name);
      }
    }
    EXPECT_EQ(holders, std::vector<std::string>{"PAGEDATA"}) << name;
  }
}

}  // namespace
}  // namespace kl::test

namespace kl::test {
namespace {

// A damaged section name is quoted in the refusal with its control bytes
// escaped, so it cannot reach a terminal raw.
TEST(WindowsImage, DamagedSectionNamesAreQuotedEscaped) {
  std::vector<std::uint8_t> bytes(withSymbols().bytes().begin(), withSymbols().bytes().end());
  const std::size_t name = withSymbols().sections().front().headerOffset;
  const std::string damaged = "/\x1b[2J\x07";
  std::copy(damaged.begin(), damaged.end(), bytes.begin() + static_cast<std::ptrdiff_t>(name));
  try {
    const pe::Image image(std::move(bytes));
    ADD_FAILURE() << "a damaged section name was accepted";
  } catch (const pe::FormatError& error) {
    EXPECT_EQ(std::string(error.what()), "malformed image: a section named /\\x1B[2J\\x07");
  }
}

}  // namespace
}  // namespace kl::test
