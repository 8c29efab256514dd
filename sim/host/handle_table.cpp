#include "sim/host/handle_table.h"

namespace kl::sim {

std::string_view describe(HandleKind kind) {
  switch (kind) {
    case HandleKind::Adapter:
      return "the miniport adapter handle";
    case HandleKind::ConfigurationContext:
      return "the configuration context";
    case HandleKind::Configuration:
      return "a configuration handle";
  }
  return "an unknown handle";
}

}  // namespace kl::sim
