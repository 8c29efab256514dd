// The host's exports against the module definitions kl7046.sys is linked
// with: every operation the driver may import is there, and a stdcall one
// pops exactly the argument bytes its decoration in the driver's import
// library promises, since the names in the image carry no decoration left to
// check at load time.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/loader/host_exports.h"
#include "windows/platform_exports.h"

namespace kl::test {
namespace {

struct DefinedExport {
  std::string module;
  std::string name;
  std::optional<unsigned> stdcallBytes;
};

std::vector<DefinedExport> readDefinition(const std::string& file) {
  std::ifstream in(file);
  std::vector<DefinedExport> exports;
  std::string module;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line.substr(0, line.find(';')));
    std::string word;
    if (!(words >> word) || word == "EXPORTS") {
      continue;
    }
    if (word == "LIBRARY") {
      words >> module;
      continue;
    }
    const auto at = word.find('@');
    exports.push_back({module, word.substr(0, at),
                       at == std::string::npos
                           ? std::nullopt
                           : std::optional<unsigned>(std::stoul(word.substr(at + 1)))});
  }
  return exports;
}

class ModuleDefinition : public ::testing::TestWithParam<const char*> {};

TEST_P(ModuleDefinition, EveryExportIsTheHostsWithItsCallingConvention) {
  const std::vector<DefinedExport> defined =
      readDefinition(std::string(KL_WINDOWS_DIR) + "/" + GetParam());
  ASSERT_FALSE(defined.empty());
  const sim::HostExports host;
  for (const DefinedExport& entry : defined) {
    SCOPED_TRACE(entry.module + "!" + entry.name);
    const sim::HostExport* found = host.find(entry.module, entry.name);
    ASSERT_NE(found, nullptr) << "the host does not provide it";
    EXPECT_EQ(found->stdcallBytes, entry.stdcallBytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, ModuleDefinition,
                         ::testing::Values("ndis.def", "hal.def", "ntoskrnl.def"),
                         [](const auto& test) {
                           std::string name = test.param;
                           return name.substr(0, name.find('.'));
                         });

// The host stands in for the system's modules: it offers nothing they do not
// export, and takes each operation's arguments as they do.
TEST(HostExports, AreAllTheSystemsWithTheirArgumentBytes) {
  const sim::HostExports host;
  for (const sim::HostExport& entry : host.all()) {
    SCOPED_TRACE(std::string(entry.module) + "!" + std::string(entry.name));
    const windows::PlatformExport* real = windows::findPlatformExport(entry.module, entry.name);
    ASSERT_NE(real, nullptr) << "the system's module does not export it";
    EXPECT_EQ(entry.stdcallBytes.value_or(0), real->argumentBytes);
  }
}

}  // namespace
}  // namespace kl::test
