#include "driver_objects.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kl::test {
namespace {

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, '|')) {
    out.push_back(trim(field));
  }
  return out;
}

std::ifstream open(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw std::runtime_error(path + ": cannot be read");
  }
  return file;
}

}  // namespace

std::vector<ObjectSymbol> readObjectSymbols(const std::string& path) {
  std::ifstream file = open(path);
  std::vector<ObjectSymbol> symbols;
  std::string line;
  while (std::getline(file, line)) {
    // Name|Value|Class|Type|Size|Line|Section
    const std::vector<std::string> f = fields(line);
    if (f.size() != 7 || f[2].empty()) {
      continue;
    }
    ObjectSymbol s;
    s.name = f[0];
    s.function = f[3] == "Function";
    if (f[2] != "U") {
      s.section = f[6];
    }
    symbols.push_back(std::move(s));
  }
  return symbols;
}

std::set<std::string> externalReferences(const std::vector<ObjectSymbol>& symbols) {
  std::set<std::string> defined;
  std::set<std::string> referenced;
  for (const ObjectSymbol& s : symbols) {
    (s.section.empty() ? referenced : defined).insert(s.name);
  }
  std::set<std::string> external;
  for (const std::string& name : referenced) {
    if (!defined.contains(name)) {
      external.insert(name);
    }
  }
  return external;
}

std::map<std::string, ModuleExport> readModuleDefinitions(const std::vector<std::string>& paths) {
  std::map<std::string, ModuleExport> exports;
  for (const std::string& path : paths) {
    std::ifstream file = open(path);
    std::string module;
    std::string line;
    while (std::getline(file, line)) {
      line = trim(line.substr(0, line.find(';')));
      if (line.empty() || line == "EXPORTS") {
        continue;
      }
      if (line.rfind("LIBRARY ", 0) == 0) {
        module = trim(line.substr(8));
        continue;
      }
      const std::string name = line.substr(0, line.find('@'));
      exports["_" + line] = ModuleExport{module, name};
    }
  }
  return exports;
}

std::string sourceName(const std::string& symbol) {
  std::string name = symbol.substr(symbol.rfind('_', 0) == 0 ? 1 : 0);
  if (name.rfind("_Z", 0) == 0) {
    std::size_t at = 2;
    std::size_t length = 0;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
      length = length * 10 + static_cast<std::size_t>(name[at++] - '0');
    }
    return name.substr(at, length);
  }
  return name.substr(0, name.find('@'));
}

}  // namespace kl::test
