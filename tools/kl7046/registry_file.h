// An installation's registry keywords as a text file, for `--config`:
//
//   # a comment
//   MaximumMulticastList = 8        applies to both adapters
//   [adapter 2]
//   ConnectionType = 0x4            numbers (decimal or 0x hex) are REG_DWORD
//   Tag = "text"                    quoted text is REG_SZ
//   NetworkAddress = 02-00-5E-10-20-30   the address override, any length
//
// Keywords before the first section apply to both adapters.
#pragma once

#include <array>
#include <istream>
#include <optional>
#include <string>

#include "sim/host/adapter_setup.h"

namespace kl::tools {

struct RegistryFile {
  std::array<sim::AdapterSetup, 2> adapters;
};

// Reads the file's keywords over `base`. On a line it cannot use, returns
// nothing with `error` naming the line and the fault.
[[nodiscard]] std::optional<RegistryFile> readRegistryFile(std::istream& in, RegistryFile base,
                                                           std::string& error);

}  // namespace kl::tools
