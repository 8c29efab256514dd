// The handles NDIS has given a miniport, and what each stands for. A
// handle of one kind passed where another belongs, or one NDIS never gave,
// is found here before the call acts on it.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>

namespace kl::sim {

class MiniportAdapter;

enum class HandleKind : std::uint8_t {
  Adapter,               // MiniportAdapterHandle
  ConfigurationContext,  // WrapperConfigurationContext
  Configuration,         // ConfigurationHandle, from NdisOpenConfiguration
};

// The kind as a message names it ("the configuration context").
[[nodiscard]] std::string_view describe(HandleKind kind);

class HandleTable {
 public:
  struct Entry {
    HandleKind kind;
    MiniportAdapter* owner;
  };

  void add(const void* handle, HandleKind kind, MiniportAdapter& owner) {
    entries_[handle] = Entry{kind, &owner};
  }
  void remove(const void* handle) { entries_.erase(handle); }
  [[nodiscard]] const Entry* find(const void* handle) const {
    const auto it = entries_.find(handle);
    return it == entries_.end() ? nullptr : &it->second;
  }

 private:
  std::unordered_map<const void*, Entry> entries_;
};

}  // namespace kl::sim
