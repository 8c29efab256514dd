// The PE/COFF structures of a 32-bit Windows image, as they lie in the file.
//
// Only what a loader of i386 kernel drivers reads is declared. Every structure
// is read by copying its bytes out of the file, so none is ever accessed in
// place and their natural alignment in the file does not matter.
#pragma once

#include <cstdint>

namespace kl::sim::pe {

inline constexpr std::uint16_t kDosSignature = 0x5A4D;     // "MZ"
inline constexpr std::uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kOptionalMagicPe32 = 0x010B;
inline constexpr std::uint16_t kSubsystemNative = 1;

// File header characteristics.
inline constexpr std::uint16_t kFileRelocsStripped = 0x0001;
inline constexpr std::uint16_t kFileExecutableImage = 0x0002;
inline constexpr std::uint16_t kFileDll = 0x2000;

// Section characteristics.
inline constexpr std::uint32_t kSectionDiscardable = 0x02000000;
inline constexpr std::uint32_t kSectionExecute = 0x20000000;
inline constexpr std::uint32_t kSectionRead = 0x40000000;
inline constexpr std::uint32_t kSectionWrite = 0x80000000;

// Data directory slots.
inline constexpr unsigned kDirectoryExport = 0;
inline constexpr unsigned kDirectoryImport = 1;
inline constexpr unsigned kDirectoryBaseReloc = 5;
inline constexpr unsigned kDirectoryTls = 9;
inline constexpr unsigned kDirectoryCount = 16;

// Base relocation types (the high 4 bits of each entry).
inline constexpr unsigned kRelocAbsolute = 0;  // padding, nothing to do
inline constexpr unsigned kRelocHighLow = 3;   // the 32-bit word at the site

inline constexpr std::uint32_t kImportByOrdinal = 0x80000000;

struct DosHeader {
  std::uint16_t e_magic;
  std::uint16_t e_unused[29];
  std::uint32_t e_lfanew;  // file offset of the NT headers
};
static_assert(sizeof(DosHeader) == 64);

struct FileHeader {
  std::uint16_t Machine;
  std::uint16_t NumberOfSections;
  std::uint32_t TimeDateStamp;
  std::uint32_t PointerToSymbolTable;
  std::uint32_t NumberOfSymbols;
  std::uint16_t SizeOfOptionalHeader;
  std::uint16_t Characteristics;
};
static_assert(sizeof(FileHeader) == 20);

struct DataDirectory {
  std::uint32_t VirtualAddress;
  std::uint32_t Size;
};

struct OptionalHeader32 {
  std::uint16_t Magic;
  std::uint8_t MajorLinkerVersion;
  std::uint8_t MinorLinkerVersion;
  std::uint32_t SizeOfCode;
  std::uint32_t SizeOfInitializedData;
  std::uint32_t SizeOfUninitializedData;
  std::uint32_t AddressOfEntryPoint;
  std::uint32_t BaseOfCode;
  std::uint32_t BaseOfData;
  std::uint32_t ImageBase;
  std::uint32_t SectionAlignment;
  std::uint32_t FileAlignment;
  std::uint16_t MajorOperatingSystemVersion;
  std::uint16_t MinorOperatingSystemVersion;
  std::uint16_t MajorImageVersion;
  std::uint16_t MinorImageVersion;
  std::uint16_t MajorSubsystemVersion;
  std::uint16_t MinorSubsystemVersion;
  std::uint32_t Win32VersionValue;
  std::uint32_t SizeOfImage;
  std::uint32_t SizeOfHeaders;
  std::uint32_t CheckSum;
  std::uint16_t Subsystem;
  std::uint16_t DllCharacteristics;
  std::uint32_t SizeOfStackReserve;
  std::uint32_t SizeOfStackCommit;
  std::uint32_t SizeOfHeapReserve;
  std::uint32_t SizeOfHeapCommit;
  std::uint32_t LoaderFlags;
  std::uint32_t NumberOfRvaAndSizes;
  DataDirectory Directory[kDirectoryCount];
};
static_assert(sizeof(OptionalHeader32) == 224);

struct SectionHeader {
  char Name[8];  // not terminated when all 8 bytes are used
  std::uint32_t VirtualSize;
  std::uint32_t VirtualAddress;
  std::uint32_t SizeOfRawData;
  std::uint32_t PointerToRawData;
  std::uint32_t PointerToRelocations;
  std::uint32_t PointerToLinenumbers;
  std::uint16_t NumberOfRelocations;
  std::uint16_t NumberOfLinenumbers;
  std::uint32_t Characteristics;
};
static_assert(sizeof(SectionHeader) == 40);

struct ImportDescriptor {
  std::uint32_t OriginalFirstThunk;  // the import name table; 0 in old images
  std::uint32_t TimeDateStamp;
  std::uint32_t ForwarderChain;
  std::uint32_t Name;        // the module's name
  std::uint32_t FirstThunk;  // the import address table the loader fills
};
static_assert(sizeof(ImportDescriptor) == 20);

struct BaseRelocationBlock {
  std::uint32_t VirtualAddress;  // page the entries are relative to
  std::uint32_t SizeOfBlock;     // this header and its 16-bit entries
};
static_assert(sizeof(BaseRelocationBlock) == 8);

}  // namespace kl::sim::pe
