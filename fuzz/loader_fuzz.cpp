// The driver-image loader with arbitrary bytes as a .sys: truncated headers,
// sections, relocations and import tables pointing anywhere. Each image is
// loaded or refused with a LoadError whose message holds only printable
// characters; nothing is read or written out of bounds (AddressSanitizer
// watches the file's bytes, the image's pages are a mapping of their own);
// and no image stays mapped once it is refused or dropped. The entry point of
// an image that loads is never called: its code is whatever the input says.
//
// The target counts the pages the loader maps and unmaps
// (support/image_pages.h): a page still mapped when an input is done with
// shows on that very input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "sim/loader/driver_image.h"
#include "sim/loader/load_error.h"
#include "sim/pe/pe_image.h"
#include "support/image_pages.h"

namespace {

void fail(std::string_view what) {
  std::fprintf(stderr, "loader_fuzz: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
  if (const std::size_t pages = kl::test::LiveImagePages(); pages != 0) {
    std::fprintf(stderr, "loader_fuzz: %zu pages of the image still mapped\n", pages);
    fail("a refused or dropped image stays mapped");
  }
  return 0;
}
