#include "kl7046/driver_source.h"

#include <stdexcept>

#include "driver/driver_entry.h"

#if defined(KL_LOADS_DRIVER_IMAGES)
#include "sim/loader/driver_image.h"
#endif

namespace kl::tools {

#if defined(KL_LOADS_DRIVER_IMAGES)
struct DriverSource::Image {
  sim::DriverImage image;
};

DriverSource::DriverSource(const std::string& file) {
  if (!file.empty()) {
    image_ = std::make_unique<Image>(Image{sim::DriverImage(file)});
  }
}

NTSTATUS DriverSource::load(sim::Machine& machine) {
  return image_ ? image_->image.callEntry(machine) : machine.loadDriver(&DriverEntry);
}
#else
struct DriverSource::Image {};

DriverSource::DriverSource(const std::string& file) {
  if (!file.empty()) {
    throw std::runtime_error("--driver " + file +
                             " needs the 32-bit build of kl7046 (build/m32/tools/kl7046)");
  }
}

NTSTATUS DriverSource::load(sim::Machine& machine) { return machine.loadDriver(&DriverEntry); }
#endif

DriverSource::~DriverSource() = default;

}  // namespace kl::tools
