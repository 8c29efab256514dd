// The probe miniport loaded from its .sys file: what crosses the seam between
// code built for Windows and the host arrives intact both ways, and its
// initialisation code is gone once DriverEntry has returned.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <optional>

#include "probe_image.h"
#include "sim/bus/io_device.h"
#include "sim/host/machine.h"
#include "sim/loader/driver_image.h"
#include "sim/loader/load_error.h"
#include "support/image_pages.h"

namespace kl::test {

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

namespace {

using sim::DriverImage;
using sim::Machine;
using sim::MiniportAdapter;

// Reads back what was last written to each of its ports.
class EchoDevice final : public sim::IoDevice {
 public:
  std::uint8_t read8(std::uint16_t offset) override { return bytes_.at(offset); }
  void write8(std::uint16_t offset, std::uint8_t value) override { bytes_.at(offset) = value; }
  [[nodiscard]] std::uint8_t at(std::uint16_t offset) const { return bytes_.at(offset); }

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

constexpr sim::PortAddress kProbeBase = 0x300;
constexpr unsigned kProcessors = 3;
constexpr std::uint16_t kTickOffset = 8;
constexpr std::uint16_t kSyncOffset = 9;
// The image's preferred base; the loader always moves it elsewhere.
constexpr std::uintptr_t kLinkedBase = 0x10000;

// How far this function's entry stack is off the 16-byte boundary the host's
// ABI promises: its frame pointer lies 8 bytes below an aligned address.
// GCC must not tailor the function to its one caller's stack.
#if defined(__clang__)
__attribute__((noinline))
#else
__attribute__((noipa))
#endif
std::uintptr_t
entryStackMisalignment() {
  return (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) + 8) % 16;
}

class ProbeImage : public ::testing::Test {
 protected:
  explicit ProbeImage(const std::string& name = "probe") : image(probeImage(name)) {
    machine.bus().attach(kProbeBase, 16, echo);
  }

  MiniportAdapter& initialized() {
    EXPECT_EQ(image.callEntry(machine), STATUS_SUCCESS);
    MiniportAdapter& adapter = machine.addAdapter({.keywords = {{"IoBaseAddress", "300"}}});
    EXPECT_EQ(adapter.initialize(), NDIS_STATUS_SUCCESS);
    return adapter;
  }

  // Declared first, so the image outlives the machine that runs its code.
  DriverImage image;
  Machine machine{{.processorCount = kProcessors}};
  EchoDevice echo;
};

TEST_F(ProbeImage, RegistersHandlersThatLieInTheMovedImage) {
  EXPECT_NE(image.base(), kLinkedBase);
  ASSERT_EQ(image.callEntry(machine), STATUS_SUCCESS);
  const NDIS40_MINIPORT_CHARACTERISTICS* table = machine.characteristics();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(machine.registeredLength(), 72U);
  for (const void* handler : {reinterpret_cast<const void*>(table->InitializeHandler),
                              reinterpret_cast<const void*>(table->HaltHandler),
                              reinterpret_cast<const void*>(table->ISRHandler),
                              reinterpret_cast<const void*>(table->SendHandler)}) {
    EXPECT_TRUE(image.contains(handler));
    EXPECT_FALSE(image.released(handler));
  }
}

TEST_F(ProbeImage, ArgumentsAndResultsCrossTheSeamIntact) {
  MiniportAdapter& adapter = initialized();

  // Byte, word and string port round trips (a string transfer repeats at one
  // port, so its last byte is what reads back), the processor count, a
  // relocated pointer and a marker, through the image's variadic error-log
  // call.
  ASSERT_EQ(machine.errorLog().size(), 1U);
  const sim::ErrorLogEntry& entry = machine.errorLog().front();
  EXPECT_EQ(entry.adapter, adapter.handle());
  EXPECT_EQ(entry.code, NDIS_ERROR_CODE_DRIVER_FAILURE);
  EXPECT_EQ(entry.values, (std::vector<ULONG>{0xA5, 0xBEEF, 0x333333, kProcessors,
                                              'K' | ('L' << 8U), 0xDEADBEEF}));
  EXPECT_GE(machine.now(), std::chrono::microseconds(1500));
  EXPECT_EQ(echo.at(kSyncOffset), 0x5C) << "the synchronised routine did not run";
  EXPECT_TRUE(adapter.interruptConnected());
  EXPECT_EQ(machine.memoryBlocksHeld(), 1U);
  EXPECT_EQ(machine.ioPortRangesHeld(), 1U);
}

TEST_F(ProbeImage, HostCodeCalledFromTheImageGetsTheStackAlignmentItAssumes) {
  // The probe stalls with a stack only 4-byte aligned; this event fires
  // during that stall, deep in host code.
  std::optional<std::uintptr_t> misalignment;
  machine.clock().scheduleIn(std::chrono::microseconds(1),
                             [&] { misalignment = entryStackMisalignment(); });
  initialized();
  ASSERT_TRUE(misalignment.has_value());
  EXPECT_EQ(*misalignment, 0U);
}

TEST_F(ProbeImage, TimerFunctionInTheImageRunsOnTheVirtualClock) {
  initialized();
  machine.runFor(std::chrono::milliseconds(3500));
  EXPECT_EQ(echo.at(kTickOffset), 3);
}

TEST_F(ProbeImage, HaltGivesBackWhatInitializeTook) {
  MiniportAdapter& adapter = initialized();
  adapter.halt();
  EXPECT_EQ(machine.memoryBlocksHeld(), 0U);
  EXPECT_EQ(machine.ioPortRangesHeld(), 0U);
  EXPECT_FALSE(adapter.interruptConnected());
}

TEST_F(ProbeImage, EntryPointRunsOnce) {
  ASSERT_EQ(image.callEntry(machine), STATUS_SUCCESS);
  EXPECT_THROW(image.callEntry(machine), sim::LoadError);
}

class ProbeWithHaltInInit : public ProbeImage {
 protected:
  ProbeWithHaltInInit() : ProbeImage("probe_halt_in_init") {}
};

TEST_F(ProbeWithHaltInInit, HaltHandlerIsGoneOnceDriverEntryReturned) {
  MiniportAdapter& adapter = initialized();
  EXPECT_TRUE(
      image.released(reinterpret_cast<const void*>(machine.characteristics()->HaltHandler)));
  EXPECT_DEATH(adapter.halt(), "");
}

TEST(ProbeImages, ImportsTheHostLacksAreAllNamedAndNothingStaysMapped) {
  const std::filesystem::path file = probeImage("probe_foreign_imports");
  try {
    DriverImage image(file);
    FAIL() << "the image was loaded";
  } catch (const sim::LoadError& error) {
    const std::string message = error.what();
    EXPECT_EQ(message.rfind(file.string() + ": ", 0), 0U) << message;
    for (const char* missing : {"NDIS.SYS!NdisMSleep", "ntoskrnl.exe!KeBugCheckEx"}) {
      EXPECT_NE(message.find(missing), std::string::npos) << message;
    }
  }
  EXPECT_EQ(LiveImagePages(), 0U) << "the refused image stays mapped";
}

}  // namespace
}  // namespace kl::test
