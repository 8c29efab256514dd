// A machine with the scripted port double at the adapter's I/O base and an
// Adapter record set up by hand, as the sequence tests use it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/adapter.h"
#include "sim/host/machine.h"
#include "tests/driver/port_trace.h"
#include "tests/driver/scripted_ports.h"

namespace kl::test {

// The ring of a card with 16 KiB of packet memory at 0x4000.
inline constexpr std::uint8_t kRxFirstPage = 0x4C;
inline constexpr std::uint8_t kRxStopPage = 0x80;

struct SequenceBench {
  SequenceBench() {
    machine.bus().attach(kIoBase, 32, ports);
    adapter.IoPort = reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(kIoBase));
    adapter.MiniportHandle = machine.addAdapter().handle();
    adapter.RxFirstPage = kRxFirstPage;
    adapter.RxStopPage = kRxStopPage;
    adapter.NextPacketPage = kRxFirstPage + 1;
    adapter.CurrentPage = kRxFirstPage + 1;
    adapter.ImrValue = 0x1B;
    machine.bus().startTrace();
  }

  [[nodiscard]] std::vector<Access> observed() { return Observed(machine.bus()); }
  // Virtual time since the bench was set up.
  [[nodiscard]] std::chrono::microseconds elapsed() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(machine.now());
  }
  // The record's bytes, to show that an operation changed no field.
  [[nodiscard]] std::vector<std::uint8_t> recordBytes() const {
    std::vector<std::uint8_t> bytes(sizeof(Adapter));
    std::memcpy(bytes.data(), &adapter, sizeof(Adapter));
    return bytes;
  }

  ScriptedPorts ports;  // outlives the machine's bus
  sim::Machine machine;
  Adapter adapter{};
};

}  // namespace kl::test
