// What the system's own modules export: NDIS.SYS, HAL.dll and ntoskrnl.exe,
// as the platform's import libraries list them. An image for Windows may
// import nothing else, since the system's loader refuses an import it cannot
// bind.
#pragma once

#include <span>
#include <string_view>

namespace kl::windows {

struct PlatformExport {
  enum class Convention { kCdecl, kStdcall, kFastcall };

  std::string_view module;
  std::string_view name;   // undecorated, as the module exports it
  unsigned argumentBytes;  // the N of a stdcall or fastcall name@N; 0 for cdecl
  Convention convention;
};

// Every export of the three modules, by module and then by name.
std::span<const PlatformExport> platformExports();

// Whether two module names name one module: the system's loader matches
// them without regard to case.
bool sameModuleName(std::string_view a, std::string_view b);

// The export `name` of `module`, or null.
const PlatformExport* findPlatformExport(std::string_view module, std::string_view name);

}  // namespace kl::windows
