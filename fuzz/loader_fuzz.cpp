// The driver-image loader with arbitrary bytes as a .sys: truncated headers,
// sections, relocations and import tables pointing anywhere. Each image is
// loaded or refused with a LoadError whose message holds only printable
// characters; nothing is read or written out of bounds (AddressSanitizer
// watches the file's bytes, the image's pages are a mapping of their own);
// and no image stays mapped once it is refused or dropped. The entry point of
// an image that loads is never called: its code is whatever the input says.
//
// A mapping left behind shows as the process's address space growing: every
// input maps its image afresh, so even a leak of one page per input passes
// the bound below long before a run of a million inputs ends.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <vector>

#include "sim/loader/driver_image.h"
#include "sim/loader/load_error.h"
#include "sim/pe/pe_image.h"

namespace {

// The process's mapped size in pages (the first field of /proc/self/statm).
std::uint64_t mappedPages() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  return pages;
}

// Growth of the address space allowed for the sanitizers' and the fuzzer's
// own bookkeeping: 512 MiB in 4 KiB pages.
constexpr std::uint64_t kGrowthPages = 512U * 256U;

void fail(std::string_view what) {
  std::fprintf(stderr, "loader_fuzz: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::uint64_t kFirstPages = mappedPages();
  try {
    const kl::sim::DriverImage image("fuzz.sys", std::vector<std::uint8_t>(data, data + size));
    if (!image.contains(reinterpret_cast<const void*>(image.base())) ||
        image.released(reinterpret_cast<const void*>(image.base()))) {
      fail("a loaded image does not hold its own base, or holds it released");
    }
  } catch (const kl::sim::LoadError& error) {
    // A refusal is an answer, in words a terminal shows as they are.
    for (const char c : std::string_view(error.what())) {
      if (c < ' ' || c > '~') {
        std::fprintf(stderr, "loader_fuzz: refused with \"%s\"\n",
                     kl::pe::printable(error.what()).c_str());
        fail("a refusal holds a byte a terminal does not show as it is");
      }
    }
  }
  if (mappedPages() > kFirstPages + kGrowthPages) {
    fail("the address space keeps growing: images stay mapped");
  }
  return 0;
}
