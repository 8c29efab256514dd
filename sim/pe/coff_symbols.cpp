#include "sim/pe/coff_symbols.h"

#include <cstddef>
#include <utility>

#include "sim/pe/reader.h"

namespace kl::pe {
namespace {

constexpr std::size_t kSymbolSize = 18;

}  // namespace

std::size_t SymbolTable::strings() const { return offset_ + std::size_t{count_} * kSymbolSize; }

std::string SymbolTable::sectionName(std::span<const std::uint8_t> file,
                                     const std::string& name) const {
  if (name.size() <= 1 || name[0] != '/' || offset_ == 0) {
    return name;
  }
  std::size_t offset = 0;
  for (const char c : name.substr(1)) {
    if (c < '0' || c > '9') {
      throw FormatError("malformed image: a section named " + printable(name));
    }
    offset = offset * 10 + static_cast<std::size_t>(c - '0');
  }
  Reader(file).require(strings() + offset, 1, "section name");
  return fixedName(file.subspan(strings() + offset));
}

std::vector<Symbol> SymbolTable::read(std::span<const std::uint8_t> file) const {
  std::vector<Symbol> found;
  if (offset_ == 0) {
    return found;
  }
  const Reader r(file);
  const std::uint32_t stringsSize = r.u32(strings(), "string table");
  for (std::uint32_t i = 0; i < count_; ++i) {
    const std::size_t s = offset_ + std::size_t{i} * kSymbolSize;
    Symbol sym;
    if (r.u32(s, "symbol table") == 0) {
      const std::uint32_t offset = r.u32(s + 4, "symbol table");
      if (offset >= stringsSize) {
        throw FormatError("malformed image: a symbol name past the string table");
      }
      sym.name = fixedName(r.span(strings() + offset, stringsSize - offset, "string table"));
    } else {
      sym.name = fixedName(r.span(s, 8, "symbol table"));
    }
    sym.value = r.u32(s + 8, "symbol table");
    sym.section = static_cast<std::int16_t>(r.u16(s + 12, "symbol table"));
    sym.type = r.u16(s + 14, "symbol table");
    sym.storageClass = r.u8(s + 16, "symbol table");
    i += r.u8(s + 17, "symbol table");  // auxiliary records
    found.push_back(std::move(sym));
  }
  return found;
}

}  // namespace kl::pe
