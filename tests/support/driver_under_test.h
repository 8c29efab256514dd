// The driver an end-to-end test brings up: the one linked into the test
// program, or kl7046.sys itself when the environment names the image in
// KL7046_DRIVER_IMAGE. The 32-bit build registers each end-to-end test a
// second time that way, so the same cases run on the very bytes that ship.
#pragma once

#include <memory>

#include "platform/ntdef.h"

namespace kl::sim {
class Machine;
}  // namespace kl::sim

namespace kl::test {

class DriverUnderTest {
 public:
  DriverUnderTest();
  DriverUnderTest(const DriverUnderTest&) = delete;
  DriverUnderTest& operator=(const DriverUnderTest&) = delete;
  ~DriverUnderTest();

  // Calls the driver's entry point as the system does. A machine that runs a
  // loaded image must not outlive this object.
  NTSTATUS load(sim::Machine& machine);

  // Whether the code that runs is the loaded image rather than the linked
  // driver, whose globals (AdapterList and the like) it then does not share.
  [[nodiscard]] bool fromImage() const { return image_ != nullptr; }
  // Whether `address` lies in the loaded image, in code or data that stays
  // after DriverEntry; false for the linked driver.
  [[nodiscard]] bool residentInImage(const void* address) const;

 private:
  struct Image;
  std::unique_ptr<Image> image_;
};

}  // namespace kl::test
