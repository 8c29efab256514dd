// Loading the driver: the handler table NDIS gets, and what a refused
// registration makes of the load. Run on the linked driver and, in the 32-bit
// build, on kl7046.sys.
#include <gtest/gtest.h>

#include "driver/driver_entry.h"
#include "driver/miniport_handlers.h"
#include "sim/host/machine.h"
#include "support/driver_under_test.h"

namespace kl::test {
namespace {

// The linked driver's handlers are its own functions; a loaded image's lie in
// its resident code.
#define EXPECT_HANDLER(member, handler)                                                           \
  if (driver.fromImage()) {                                                                       \
    EXPECT_TRUE(driver.residentInImage(reinterpret_cast<const void*>(table->member))) << #member; \
  } else {                                                                                        \
    EXPECT_EQ(table->member, &(handler));                                                         \
  }

TEST(DriverEntry, RegistersTheNdis40HandlerTable) {
  DriverUnderTest driver;
  sim::Machine machine;
  machine.bus().startTrace();
  Adapter stale{};
  AdapterList = &stale;  // left over from an earlier load of the linked driver

  EXPECT_EQ(driver.load(machine), STATUS_SUCCESS);

  const NDIS40_MINIPORT_CHARACTERISTICS* table = machine.characteristics();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(machine.registeredLength(), sizeof(NDIS40_MINIPORT_CHARACTERISTICS));
  if (sizeof(void*) == 4) {
    EXPECT_EQ(machine.registeredLength(), 72u);
  }
  EXPECT_EQ(table->MajorNdisVersion, 4);
  EXPECT_EQ(table->MinorNdisVersion, 0);
  EXPECT_EQ(table->CheckForHangHandler, nullptr);
  EXPECT_HANDLER(DisableInterruptHandler, MiniportDisableInterrupt)
  EXPECT_HANDLER(EnableInterruptHandler, MiniportEnableInterrupt)
  EXPECT_HANDLER(HaltHandler, MiniportHalt)
  EXPECT_HANDLER(HandleInterruptHandler, MiniportHandleInterrupt)
  EXPECT_HANDLER(InitializeHandler, MiniportInitialize)
  EXPECT_HANDLER(ISRHandler, MiniportISR)
  EXPECT_HANDLER(QueryInformationHandler, MiniportQueryInformation)
  EXPECT_EQ(table->ReconfigureHandler, nullptr);
  EXPECT_HANDLER(ResetHandler, MiniportReset)
  EXPECT_HANDLER(SendHandler, MiniportSend)
  EXPECT_HANDLER(SetInformationHandler, MiniportSetInformation)
  EXPECT_HANDLER(TransferDataHandler, MiniportTransferData)
  EXPECT_EQ(table->ReturnPacketHandler, nullptr);
  EXPECT_EQ(table->SendPacketsHandler, nullptr);
  EXPECT_EQ(table->AllocateCompleteHandler, nullptr);

  if (!driver.fromImage()) {
    EXPECT_EQ(AdapterList, nullptr);
  }
  AdapterList = nullptr;
  EXPECT_TRUE(machine.errorLog().empty());
  EXPECT_TRUE(machine.bus().trace().empty()) << "loading the driver touched a port";
}

class RefusedRegistration : public ::testing::TestWithParam<NDIS_STATUS> {};

TEST_P(RefusedRegistration, FailsTheLoadWithUnsuccessfulWhateverNdisSaid) {
  DriverUnderTest driver;
  sim::Machine machine;
  machine.ndisFailures().failCall(sim::NdisOperation::RegisterMiniport, 1, GetParam());

  EXPECT_EQ(driver.load(machine), static_cast<NTSTATUS>(0xC0000001));
  EXPECT_TRUE(machine.errorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Statuses, RefusedRegistration,
                         ::testing::Values(NDIS_STATUS_FAILURE, NDIS_STATUS_BAD_VERSION,
                                           NDIS_STATUS_BAD_CHARACTERISTICS, NDIS_STATUS_RESOURCES,
                                           NDIS_STATUS_PENDING, NDIS_STATUS_NOT_ACCEPTED,
                                           static_cast<NDIS_STATUS>(0x00000001)));

}  // namespace
}  // namespace kl::test
