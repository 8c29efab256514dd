// A miniport made of test hooks, and a device whose interrupt line the test
// drives through its ports, for checking the host's own rules.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/ndis.h"
#include "sim/bus/io_device.h"

namespace kl::sim::testing {

// Port offsets of the line device.
inline constexpr std::uint16_t kRaise = 0;    // a write raises the line
inline constexpr std::uint16_t kLower = 1;    // a write lowers it
inline constexpr std::uint16_t kScratch = 2;  // writes have no effect

class LineDevice final : public IoDevice, public InterruptSource {
 public:
  std::uint8_t read8(std::uint16_t /*offset*/) override { return 0; }
  void write8(std::uint16_t offset, std::uint8_t /*value*/) override {
    if (offset == kRaise) {
      asserted_ = true;
    } else if (offset == kLower) {
      asserted_ = false;
    }
    announce();
  }
  [[nodiscard]] bool interruptAsserted() const override { return asserted_; }

 private:
  bool asserted_ = false;
};

// The handlers a test gives the fake miniport; absent ones do nothing.
struct FakeHandlers {
  // Called first in every routine of the miniport.
  std::function<void()> entered;
  std::function<NDIS_STATUS(NDIS_HANDLE adapterHandle)> initialize;
  std::function<void()> disableInterrupt;
  std::function<void()> enableInterrupt;
  std::function<void()> handleInterrupt;
  std::function<void(BOOLEAN& recognized, BOOLEAN& queue)> isr;
  std::function<NDIS_STATUS(NDIS_PACKET& packet)> send;
  // Present: the miniport has a MiniportCheckForHang, which answers this.
  std::function<bool()> checkForHang;
  std::function<void()> halt;
};

// Installs the handlers for the fake miniport's entry point; one at a time.
class FakeMiniport {
 public:
  explicit FakeMiniport(FakeHandlers handlers);
  FakeMiniport(const FakeMiniport&) = delete;
  FakeMiniport& operator=(const FakeMiniport&) = delete;
  ~FakeMiniport();

  static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

 private:
  FakeHandlers handlers_;
};

}  // namespace kl::sim::testing
