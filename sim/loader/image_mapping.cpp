#include "sim/loader/image_mapping.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace kl::sim {

ImageMapping::ImageMapping(std::size_t size)
    : size_((size + pageSize() - 1) / pageSize() * pageSize()) {
  void* pages = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    throw std::system_error(errno, std::generic_category(), "mapping a driver image");
  }
  base_ = static_cast<std::uint8_t*>(pages);
}

ImageMapping::ImageMapping(ImageMapping&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ImageMapping& ImageMapping::operator=(ImageMapping&& other) noexcept {
  if (this != &other) {
    std::swap(base_, other.base_);
    std::swap(size_, other.size_);
  }
  return *this;
}

ImageMapping::~ImageMapping() {
  if (base_ != nullptr) {
    munmap(base_, size_);
  }
}

std::size_t ImageMapping::pageSize() {
  static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

void ImageMapping::protect(std::size_t firstPage, std::size_t pages, int protection) const {
  if (pages == 0) {
    return;
  }
  if (mprotect(base_ + firstPage * pageSize(), pages * pageSize(), protection) != 0) {
    throw std::system_error(errno, std::generic_category(), "protecting a driver image");
  }
}

}  // namespace kl::sim
