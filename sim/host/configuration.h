// The configuration NDIS keeps for an adapter, as the miniport reads it
// through a handle from NdisOpenConfiguration.
#pragma once

#include <deque>
#include <string>

#include "platform/ndis.h"
#include "sim/host/adapter_setup.h"

namespace kl::sim {

class MiniportAdapter;

// One NdisReadConfiguration call: the keyword as the driver spelt it and the
// parameter type it asked for.
struct KeywordRead {
  std::string keyword;
  NDIS_PARAMETER_TYPE type = NdisParameterInteger;

  friend bool operator==(const KeywordRead&, const KeywordRead&) = default;
};

// A configuration handle from NdisOpenConfiguration. Parameters it returns
// stay valid until it is closed.
class OpenConfiguration {
 public:
  OpenConfiguration(MiniportAdapter& owner, const AdapterSetup& setup)
      : owner_(owner), setup_(setup) {}

  NDIS_STATUS read(const NDIS_STRING& keyword, NDIS_PARAMETER_TYPE type,
                   PNDIS_CONFIGURATION_PARAMETER* parameter);
  [[nodiscard]] const AdapterSetup& setup() const { return setup_; }
  [[nodiscard]] MiniportAdapter& owner() const { return owner_; }

 private:
  MiniportAdapter& owner_;
  const AdapterSetup& setup_;
  std::deque<NDIS_CONFIGURATION_PARAMETER> parameters_;
  std::deque<std::u16string> strings_;
};

}  // namespace kl::sim
