// The PE reader with arbitrary bytes as an image: truncated headers, sections
// and directories pointing anywhere, import tables that loop or run off the
// end, relocations anywhere. Each is read or refused with a FormatError;
// nothing is read out of bounds (AddressSanitizer watches) and no walk runs
// for ever (libFuzzer's time-out does); a refusal's message holds only
// printable characters, whatever bytes a name it quotes had. The names and
// the imports it reads are walked the way the loader walks them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "sim/pe/checksum.h"
#include "sim/pe/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const kl::pe::Image image(std::vector<std::uint8_t>(data, data + size));
    for (const kl::pe::Section& section : image.sections()) {
      (void)image.sectionNamed(section.name);
    }
    (void)image.imports();
    (void)image.relocations();
    (void)image.symbols();
    (void)kl::pe::computeChecksum(image.bytes(), image.checksumOffset());
  } catch (const kl::pe::FormatError& error) {
    // A refusal is an answer, in words a terminal shows as they are.
    for (const char c : std::string_view(error.what())) {
      if (c < ' ' || c > '~') {
        std::abort();
      }
    }
  }
  return 0;
}
