// What the host offers a loaded driver image to import: the operations of
// NDIS.SYS and HAL.dll that platform/ declares, under the names the Windows
// import libraries give them, bound to the host's own implementations (the
// very functions a driver linked into the host calls).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kl::sim {

struct HostExport {
  std::string_view module;
  // As the image's import names them: NTAPI operations carry the stdcall
  // decoration, name@N with N the bytes of arguments the callee pops, so an
  // image built against a declaration with other arguments does not bind.
  std::string name;
  const void* address;
};

class HostExports {
 public:
  HostExports();

  // Null when the host does not provide `name` from `module`; module names
  // match without regard to case, as the system's loader matches them.
  [[nodiscard]] const void* find(std::string_view module, std::string_view name) const;

 private:
  std::vector<HostExport> exports_;
};

}  // namespace kl::sim
