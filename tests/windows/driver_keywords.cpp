#include "driver_keywords.h"

#include "driver/configuration.h"

namespace kl::test {

const std::vector<DriverKeyword>& driverKeywords() {
  static const std::vector<DriverKeyword> keywords = {
      {&CardTypeKeyword, kCardTypeParameterType, kCardTypeDefault, {}, {}},
      {&BusTypeKeyword, kBusTypeParameterType, kBusTypeDefault, {}, {}},
      {&IoBaseAddressKeyword, kIoBaseAddressParameterType, kIoBaseAddressDefault,
       kIoBaseAddressMinimum, kIoBaseAddressMaximum},
      {&InterruptNumberKeyword, kInterruptNumberParameterType, kInterruptNumberDefault,
       kInterruptNumberMinimum, kInterruptNumberMaximum},
      {&MaximumMulticastListKeyword, kMaximumMulticastListParameterType,
       kMaximumMulticastListDefault, kMaximumMulticastListMinimum, kMaximumMulticastListMaximum},
      {&ConnectionTypeKeyword, kConnectionTypeParameterType, kConnectionTypeDefault, {}, {}},
  };
  return keywords;
}

std::string keywordName(const NDIS_STRING& keyword) {
  std::string name;
  for (USHORT i = 0; i < keyword.Length / sizeof(WCHAR); ++i) {
    name.push_back(static_cast<char>(keyword.Buffer[i]));
  }
  return name;
}

}  // namespace kl::test
