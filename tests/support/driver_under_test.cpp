#include "driver_under_test.h"

#include <cstdio>
#include <cstdlib>

#include "sim/host/machine.h"
#include "support/linked_driver.h"

#if defined(KL_LOADS_DRIVER_IMAGES)
#include "sim/loader/driver_image.h"
#include "sim/loader/load_error.h"
#endif

namespace kl::test {

namespace {

constexpr const char* kImageVariable = "KL7046_DRIVER_IMAGE";

[[noreturn]] void refuse(const char* why) {
  std::fprintf(stderr, "%s: %s\n", kImageVariable, why);
  std::abort();
}

}  // namespace

#if defined(KL_LOADS_DRIVER_IMAGES)
struct DriverUnderTest::Image {
  sim::DriverImage image;
};

DriverUnderTest::DriverUnderTest() {
  if (const char* file = std::getenv(kImageVariable); file != nullptr && *file != '\0') {
    try {
      image_ = std::make_unique<Image>(Image{sim::DriverImage(file)});
    } catch (const sim::LoadError& error) {
      refuse(error.what());
    }
  }
}

NTSTATUS DriverUnderTest::load(sim::Machine& machine) {
  return image_ ? image_->image.callEntry(machine) : loadLinkedDriver(machine);
}

bool DriverUnderTest::residentInImage(const void* address) const {
  return image_ && image_->image.contains(address) && !image_->image.released(address);
}
#else
struct DriverUnderTest::Image {};

DriverUnderTest::DriverUnderTest() {
  if (const char* file = std::getenv(kImageVariable); file != nullptr && *file != '\0') {
    refuse("only a 32-bit build can run a driver image");
  }
}

NTSTATUS DriverUnderTest::load(sim::Machine& machine) { return loadLinkedDriver(machine); }

bool DriverUnderTest::residentInImage(const void* /*address*/) const { return false; }
#endif

DriverUnderTest::~DriverUnderTest() = default;

}  // namespace kl::test
