// The pages mapped through mmap and not yet unmapped through munmap, counted
// by wrapping both at link time (-Wl,--wrap=mmap,--wrap=munmap): the driver
// loader maps each image with mmap and gives it back with munmap, and the
// sanitizers and the fuzzer map their own memory without calling either by
// name, so a page a refused or dropped image leaves mapped shows at once.
#pragma once

#include <cstddef>

namespace kl::test {

[[nodiscard]] std::size_t LiveImagePages();

}  // namespace kl::test
