// The driver-image loader with arbitrary bytes as a .sys: truncated headers,
// sections, relocations and import tables pointing anywhere. Each image is
// loaded or refused with a LoadError whose message holds only printable
// characters; nothing is read or written out of bounds (AddressSanitizer
// watches the file's bytes, the image's pages are a mapping of their own);
// and no image stays mapped once it is refused or dropped. The entry point of
// an image that loads is never called: its code is whatever the input says.
//
// The target links with --wrap=mmap,--wrap=munmap, so every page the loader
// maps or unmaps passes through the counters below: a page still mapped when
// an input is done with shows on that very input.
#include <sys/mman.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "sim/loader/driver_image.h"
#include "sim/loader/image_mapping.h"
#include "sim/loader/load_error.h"
#include "sim/pe/pe_image.h"

namespace {

// Pages the loader has mapped and not yet unmapped. The sanitizers and the
// fuzzer map their own memory without calling mmap by name, so only the
// driver images are counted.
std::size_t liveImagePages = 0;

std::size_t pagesIn(std::size_t bytes) {
  return (bytes + kl::sim::ImageMapping::pageSize() - 1) / kl::sim::ImageMapping::pageSize();
}

void fail(std::string_view what) {
  std::fprintf(stderr, "loader_fuzz: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace

// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming): the
// linker's names for a wrapped function and the function it wraps.
extern "C" void* __real_mmap(void* address, std::size_t length, int protection, int flags,
                             int descriptor, off_t offset);
extern "C" int __real_munmap(void* address, std::size_t length);

extern "C" void* __wrap_mmap(void* address, std::size_t length, int protection, int flags,
                             int descriptor, off_t offset) {
  void* const pages = __real_mmap(address, length, protection, flags, descriptor, offset);
  if (pages != MAP_FAILED) {
    liveImagePages += pagesIn(length);
  }
  return pages;
}

extern "C" int __wrap_munmap(void* address, std::size_t length) {
  const int result = __real_munmap(address, length);
  if (result == 0) {
    liveImagePages -= pagesIn(length);
  }
  return result;
}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)

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
  if (liveImagePages != 0) {
    std::fprintf(stderr, "loader_fuzz: %zu pages of the image still mapped\n", liveImagePages);
    fail("a refused or dropped image stays mapped");
  }
  return 0;
}
