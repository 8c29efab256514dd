// A reader of Windows setup information files, enough to check kl7046.inf:
// sections of directives and comma-separated lines, with %string% tokens
// replaced from [Strings].
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kl::test {

struct InfLine {
  std::string key;                  // left of '=', empty when there is none
  std::vector<std::string> values;  // the comma-separated fields, unquoted
};

// One registry write of an AddReg section.
struct InfRegistryValue {
  std::string root;
  std::string subkey;
  std::string name;
  std::string flags;
  std::string data;
};

class InfFile {
 public:
  // Throws std::runtime_error naming the line that cannot be read.
  static InfFile load(const std::string& path);

  [[nodiscard]] bool hasSection(const std::string& name) const;
  // The lines of a section; section names match without regard to case.
  [[nodiscard]] const std::vector<InfLine>& section(const std::string& name) const;
  // The values of the first `key = ...` line of a section.
  [[nodiscard]] std::optional<std::vector<std::string>> directive(const std::string& section,
                                                                  const std::string& key) const;
  // Every registry write of the AddReg sections an install section names.
  [[nodiscard]] std::vector<InfRegistryValue> registryWrites(
      const std::string& installSection) const;

 private:
  std::map<std::string, std::vector<InfLine>> sections_;
};

}  // namespace kl::test
