// What the image check knows about the driver apart from the image: the
// symbols of the driver's objects as the cross compiler left them, and the
// module definitions the import libraries were built from.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kl::test {

struct ObjectSymbol {
  std::string name;     // as the linker sees it, decorated
  std::string section;  // the object's section holding it; empty if undefined
  bool function = false;
};

// Every symbol of every driver object, from `nm --format=sysv` output.
std::vector<ObjectSymbol> readObjectSymbols(const std::string& path);

// The symbols the objects reference but none of them defines: what the image
// has to import.
std::set<std::string> externalReferences(const std::vector<ObjectSymbol>& symbols);

struct ModuleExport {
  std::string module;  // the LIBRARY line
  std::string name;    // as the module exports it, undecorated
};

// Linker symbol (leading underscore and stdcall decoration included) to the
// module export it binds to, over the given .def files.
std::map<std::string, ModuleExport> readModuleDefinitions(const std::vector<std::string>& paths);

// The name a routine has in the source, from its linker symbol: no leading
// underscore, no stdcall decoration, and the plain name of a C++ function.
std::string sourceName(const std::string& symbol);

}  // namespace kl::test
