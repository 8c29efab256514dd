#include "inf_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <stdexcept>

namespace kl::test {
namespace {

std::string lower(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Splits a line at the commas outside quotes and drops its comment; quotes
// are removed, "" inside quotes stands for one quote.
std::vector<std::string> splitFields(const std::string& text) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        fields.back().push_back('"');
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (!quoted && c == ';') {
      break;
    } else if (!quoted && c == ',') {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  for (std::string& f : fields) {
    f = trim(f);
  }
  return fields;
}

// Replaces %name% with its [Strings] text; %% is a literal percent sign.
std::string substitute(const std::string& text, const std::map<std::string, std::string>& strings,
                       const std::string& where) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    const std::size_t end = text.find('%', i + 1);
    if (end == std::string::npos) {
      out += text.substr(i);  // an alignment mask of a LogConfig line
      break;
    }
    const std::string name = text.substr(i + 1, end - i - 1);
    if (name.empty()) {
      out.push_back('%');
    } else if (const auto found = strings.find(lower(name)); found != strings.end()) {
      out += found->second;
    } else if (std::ranges::all_of(name, [](unsigned char c) { return std::isdigit(c); })) {
      out += "%" + name + "%";  // a directory id, resolved at installation
    } else {
      throw std::runtime_error(where + ": no string " + name);
    }
    i = end;
  }
  return out;
}

}  // namespace

InfFile InfFile::load(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw std::runtime_error(path + ": cannot be read");
  }
  struct RawLine {
    std::string section;
    std::string text;
    int number;
  };
  std::vector<RawLine> raw;
  std::string current;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string text = trim(line);
    if (text.empty() || text[0] == ';') {
      continue;
    }
    if (text[0] == '[') {
      const auto close = text.find(']');
      if (close == std::string::npos) {
        throw std::runtime_error(path + ":" + std::to_string(number) + ": an unclosed section");
      }
      current = lower(trim(text.substr(1, close - 1)));
      continue;
    }
    if (current.empty()) {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": a line before any section");
    }
    raw.push_back({current, text, number});
  }

  std::map<std::string, std::string> strings;
  for (const RawLine& r : raw) {
    if (r.section == "strings") {
      const auto eq = r.text.find('=');
      if (eq == std::string::npos) {
        throw std::runtime_error(path + ":" + std::to_string(r.number) + ": a string without =");
      }
      strings[lower(trim(r.text.substr(0, eq)))] = splitFields(r.text.substr(eq + 1)).front();
    }
  }

  InfFile inf;
  for (const RawLine& r : raw) {
    const std::string where = path + ":" + std::to_string(r.number);
    InfLine parsed;
    std::string rest = r.text;
    const auto eq = rest.find('=');
    const auto quote = rest.find('"');
    if (r.section != "strings" && eq != std::string::npos &&
        (quote == std::string::npos || eq < quote)) {
      parsed.key = substitute(trim(rest.substr(0, eq)), strings, where);
      rest = rest.substr(eq + 1);
    }
    for (const std::string& field : splitFields(rest)) {
      parsed.values.push_back(substitute(field, strings, where));
    }
    inf.sections_[r.section].push_back(std::move(parsed));
  }
  return inf;
}

bool InfFile::hasSection(const std::string& name) const { return sections_.contains(lower(name)); }

const std::vector<InfLine>& InfFile::section(const std::string& name) const {
  const auto found = sections_.find(lower(name));
  if (found == sections_.end()) {
    throw std::runtime_error("no section [" + name + "]");
  }
  return found->second;
}

std::optional<std::vector<std::string>> InfFile::directive(const std::string& sectionName,
                                                           const std::string& key) const {
  for (const InfLine& l : section(sectionName)) {
    if (lower(l.key) == lower(key)) {
      return l.values;
    }
  }
  return std::nullopt;
}

std::vector<InfRegistryValue> InfFile::registryWrites(const std::string& installSection) const {
  std::vector<InfRegistryValue> writes;
  for (const std::string& name :
       directive(installSection, "AddReg").value_or(std::vector<std::string>{})) {
    for (const InfLine& l : section(name)) {
      std::vector<std::string> v = l.values;
      v.resize(std::max<std::size_t>(v.size(), 5));
      writes.push_back({v[0], v[1], v[2], v[3], v[4]});
    }
  }
  return writes;
}

}  // namespace kl::test
