#include "support/image_pages.h"

#include <sys/mman.h>
#include <sys/types.h>

#include "sim/loader/image_mapping.h"

namespace {

std::size_t livePages = 0;

std::size_t pagesIn(std::size_t bytes) {
  return (bytes + kl::sim::ImageMapping::pageSize() - 1) / kl::sim::ImageMapping::pageSize();
}

}  // namespace

namespace kl::test {

std::size_t LiveImagePages() { return livePages; }

}  // namespace kl::test

// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming): the
// linker's names for a wrapped function and the function it wraps.
extern "C" void* __real_mmap(void* address, std::size_t length, int protection, int flags,
                             int descriptor, off_t offset);
extern "C" int __real_munmap(void* address, std::size_t length);

extern "C" void* __wrap_mmap(void* address, std::size_t length, int protection, int flags,
                             int descriptor, off_t offset) {
  void* const pages = __real_mmap(address, length, protection, flags, descriptor, offset);
  if (pages != MAP_FAILED) {
    livePages += pagesIn(length);
  }
  return pages;
}

extern "C" int __wrap_munmap(void* address, std::size_t length) {
  const int result = __real_munmap(address, length);
  if (result == 0) {
    livePages -= pagesIn(length);
  }
  return result;
}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)
