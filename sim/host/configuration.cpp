#include "sim/host/configuration.h"

#include <charconv>
#include <string>
#include <variant>

#include "sim/host/machine.h"

namespace kl::sim {

NDIS_STATUS OpenConfiguration::read(const NDIS_STRING& keyword, NDIS_PARAMETER_TYPE type,
                                    PNDIS_CONFIGURATION_PARAMETER* parameter) {
  // Keywords are plain ASCII names.
  std::string name;
  for (const WCHAR c : std::u16string_view(keyword.Buffer, keyword.Length / sizeof(WCHAR))) {
    name.push_back(static_cast<char>(c));
  }
  owner_.noteKeywordRead(KeywordRead{name, type});
  if (const auto failure = owner_.machine().ndisFailures().call(NdisOperation::ReadConfiguration)) {
    return *failure;
  }
  const auto it = setup_.keywords.find(name);
  if (it == setup_.keywords.end()) {
    return NDIS_STATUS_FAILURE;
  }
  NDIS_CONFIGURATION_PARAMETER value{};
  value.ParameterType = type;
  if (type == NdisParameterInteger || type == NdisParameterHexInteger) {
    if (const auto* number = std::get_if<std::uint32_t>(&it->second)) {
      value.ParameterData.IntegerData = *number;
    } else {
      const auto& text = std::get<std::string>(it->second);
      const int base = type == NdisParameterHexInteger ? 16 : 10;
      std::uint32_t parsed = 0;
      const auto [end, error] =
          std::from_chars(text.data(), text.data() + text.size(), parsed, base);
      if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return NDIS_STATUS_FAILURE;
      }
      value.ParameterData.IntegerData = parsed;
    }
  } else if (type == NdisParameterString) {
    std::u16string& text = strings_.emplace_back();
    if (const auto* number = std::get_if<std::uint32_t>(&it->second)) {
      for (const char c : std::to_string(*number)) {
        text.push_back(static_cast<char16_t>(c));
      }
    } else {
      for (const char c : std::get<std::string>(it->second)) {
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
      }
    }
    value.ParameterData.StringData.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    value.ParameterData.StringData.MaximumLength = value.ParameterData.StringData.Length;
    value.ParameterData.StringData.Buffer = text.data();
  } else {
    return NDIS_STATUS_NOT_SUPPORTED;
  }
  *parameter = &parameters_.emplace_back(value);
  return NDIS_STATUS_SUCCESS;
}

}  // namespace kl::sim
