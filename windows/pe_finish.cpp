// The last step of linking kl7046.sys, which GNU ld cannot do: marks the
// named sections discardable, so the system frees them once DriverEntry has
// returned, and fills in the checksum the NT loader verifies.
//
//   kl7046_pe_finish IMAGE OUTPUT [DISCARDABLE-SECTION...]
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/pe/checksum.h"
#include "sim/pe/pe_image.h"

namespace {

void putU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IMAGE OUTPUT [DISCARDABLE-SECTION...]\n", argv[0]);
    return 2;
  }
  try {
    const kl::pe::Image image = kl::pe::Image::load(argv[1]);
    std::vector<std::uint8_t> bytes(image.bytes().begin(), image.bytes().end());
    for (int i = 3; i < argc; ++i) {
      const kl::pe::Section* section = image.sectionNamed(argv[i]);
      if (section == nullptr) {
        std::fprintf(stderr, "%s: no section %s to mark discardable\n", argv[1], argv[i]);
        return 1;
      }
      putU32(bytes, section->headerOffset + kl::pe::kSectionCharacteristicsOffset,
             section->characteristics | kl::pe::kSectionDiscardable);
    }
    putU32(bytes, image.checksumOffset(), kl::pe::computeChecksum(bytes, image.checksumOffset()));
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "%s: cannot be written\n", argv[2]);
      return 1;
    }
  } catch (const kl::pe::FormatError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
