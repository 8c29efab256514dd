#include "tests/driver/scripted_ports.h"

namespace kl::test {

namespace {

template <class Value>
Value next(std::deque<Value>& script, const std::map<std::uint16_t, Value>& standing,
           std::uint16_t offset) {
  if (!script.empty()) {
    const Value value = script.front();
    script.pop_front();
    return value;
  }
  const auto it = standing.find(offset);
  return it == standing.end() ? Value{0} : it->second;
}

}  // namespace

void ScriptedPorts::script(std::uint16_t offset, std::initializer_list<std::uint8_t> values) {
  scripts_[offset].insert(scripts_[offset].end(), values);
}

void ScriptedPorts::scriptWords(std::uint16_t offset, std::initializer_list<std::uint16_t> values) {
  wordScripts_[offset].insert(wordScripts_[offset].end(), values);
}

std::uint8_t ScriptedPorts::read8(std::uint16_t offset) {
  return next(scripts_[offset], standing_, offset);
}

std::uint16_t ScriptedPorts::read16(std::uint16_t offset) {
  return next(wordScripts_[offset], standingWords_, offset);
}

}  // namespace kl::test
