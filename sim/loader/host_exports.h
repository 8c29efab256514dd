// What the host offers a loaded driver image to import: the operations of
// NDIS.SYS and HAL.dll that platform/ declares, and the kernel's memory
// routines, bound to the host's own implementations (the very functions a
// driver linked into the host calls).
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kl::sim {

struct HostExport {
  std::string_view module;
  std::string_view name;  // as the module exports it: undecorated
  // For a stdcall operation, the bytes of arguments the callee pops: the N of
  // the name@N that the driver's import library binds its calls to. None for
  // a cdecl one, whose caller pops.
  std::optional<unsigned> stdcallBytes;
  const void* address;
};

class HostExports {
 public:
  HostExports();

  // Null when the host does not provide `name` from `module`; module names
  // match without regard to case, as the system's loader matches them.
  [[nodiscard]] const HostExport* find(std::string_view module, std::string_view name) const;
  [[nodiscard]] std::span<const HostExport> all() const { return exports_; }

 private:
  std::vector<HostExport> exports_;
};

}  // namespace kl::sim
