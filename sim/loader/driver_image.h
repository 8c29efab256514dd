// A kernel driver image (a PE32 i386 .sys file) loaded into this process as
// the system's loader would load it: its sections mapped at a fresh base with
// their protections, its base relocations applied and its imports of NDIS.SYS
// and HAL.dll bound to the host's own implementations. The code that then
// runs is the very bytes that would ship. 32-bit hosts only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ntdef.h"
#include "sim/loader/image_mapping.h"

namespace kl::sim {

class Machine;

class DriverImage {
 public:
  // Throws LoadError, naming the file and the problem, when the image is not
  // one this host can run; nothing of it stays mapped then.
  explicit DriverImage(const std::filesystem::path& file);
  DriverImage(std::string name, std::vector<std::uint8_t> bytes);

  // What the system does once the image is in memory: calls its entry point
  // with the driver object and registry path (Machine::loadDriver), then
  // releases the initialisation code and data, which nothing may reach from
  // then on. Once per image.
  NTSTATUS callEntry(Machine& machine);

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] std::uintptr_t base() const { return mapping_.address(); }
  [[nodiscard]] bool contains(const void* address) const;
  // Whether `address` lies in code or data released after the entry point.
  [[nodiscard]] bool released(const void* address) const;

 private:
  struct Range {
    std::uint32_t rva;
    std::uint32_t size;
  };

  void releaseDiscardable();

  std::string name_;
  ImageMapping mapping_;
  std::uint32_t entryRva_ = 0;
  std::vector<Range> discardable_;
  std::vector<int> pageProtection_;
  std::vector<bool> residentPage_;  // holds headers or a section that stays
  bool entryCalled_ = false;
};

}  // namespace kl::sim
