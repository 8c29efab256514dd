// An adapter's interrupt as NDIS connects it: NdisMRegisterInterrupt,
// NdisMDeregisterInterrupt and NdisMSynchronizeWithInterrupt, and the path
// from the asserted line through the miniport's ISR to its deferred handler.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/ndis.h"

namespace kl::sim {

class MiniportAdapter;

// What the miniport asked of NdisMRegisterInterrupt.
struct InterruptRegistration {
  UINT vector = 0;
  UINT level = 0;
  bool requestIsr = false;
  bool shared = false;
  NDIS_INTERRUPT_MODE mode = NdisInterruptLevelSensitive;

  friend bool operator==(const InterruptRegistration&, const InterruptRegistration&) = default;
};

class AdapterInterrupt {
 public:
  explicit AdapterInterrupt(MiniportAdapter& adapter);
  AdapterInterrupt(const AdapterInterrupt&) = delete;
  AdapterInterrupt& operator=(const AdapterInterrupt&) = delete;
  ~AdapterInterrupt();

  NDIS_STATUS connect(NDIS_MINIPORT_INTERRUPT& object, const InterruptRegistration& registration);
  void disconnect(NDIS_MINIPORT_INTERRUPT& object);
  BOOLEAN synchronize(NDIS_MINIPORT_INTERRUPT& object, PVOID routine, PVOID context);
  // Takes down a connection the miniport should have given back; returns
  // whether there was one.
  bool dropLeftOver();

  [[nodiscard]] bool connected() const { return connection_ != nullptr; }
  [[nodiscard]] std::optional<UINT> vector() const;
  // The last registration the miniport asked for, granted or not.
  [[nodiscard]] const std::optional<InterruptRegistration>& registration() const {
    return registration_;
  }

 private:
  class Connection;

  void takeDown();

  MiniportAdapter& adapter_;
  std::unique_ptr<Connection> connection_;
  std::optional<InterruptRegistration> registration_;
  std::uint64_t connections_ = 0;
};

}  // namespace kl::sim
