// What loads the driver into a machine: the driver linked into this
// program, or a kl7046.sys image (in the 32-bit build, which can run one).
#pragma once

#include <memory>
#include <string>

#include "platform/ntdef.h"
#include "sim/host/machine.h"

namespace kl::tools {

class DriverSource {
 public:
  // An empty file name: the linked driver. Throws std::exception with a
  // one-line reason when the image cannot be loaded.
  explicit DriverSource(const std::string& file);
  DriverSource(const DriverSource&) = delete;
  DriverSource& operator=(const DriverSource&) = delete;
  // Machines the image ran in must be gone by now.
  ~DriverSource();

  NTSTATUS load(sim::Machine& machine);

 private:
  struct Image;
  std::unique_ptr<Image> image_;
};

}  // namespace kl::tools
