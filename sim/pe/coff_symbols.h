// The COFF symbol table a GNU link leaves behind in an image, and the string
// table after it that holds the longer names, section names included.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kl::pe {

// An entry of the COFF symbol table (auxiliary records skipped).
struct Symbol {
  std::string name;
  std::uint32_t value = 0;
  std::int16_t section = 0;  // 1-based section number; 0 undefined, negative special
  std::uint16_t type = 0;
  std::uint8_t storageClass = 0;

  [[nodiscard]] bool isFunction() const { return (type & 0x30) == 0x20; }
  [[nodiscard]] bool isExternal() const { return storageClass == 2; }
};

// Where the file header says the table is; an offset of 0 means none.
class SymbolTable {
 public:
  SymbolTable() = default;
  SymbolTable(std::uint32_t offset, std::uint32_t count) : offset_(offset), count_(count) {}

  // A section's name as its header holds it, with a GNU link's "/N" (an
  // offset into the string table, for a name longer than eight characters)
  // looked up.
  [[nodiscard]] std::string sectionName(std::span<const std::uint8_t> file,
                                        const std::string& name) const;
  [[nodiscard]] std::vector<Symbol> read(std::span<const std::uint8_t> file) const;

 private:
  // File offset of the string table, which follows the symbols.
  [[nodiscard]] std::size_t strings() const;

  std::uint32_t offset_ = 0;
  std::uint32_t count_ = 0;
};

}  // namespace kl::pe
