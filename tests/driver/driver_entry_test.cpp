// Loading the driver: the handler table NDIS gets, and what a refused
// registration makes of the load.
#include <gtest/gtest.h>

#include "driver/driver_entry.h"
#include "driver/miniport_handlers.h"
#include "sim/host/machine.h"

namespace kl::test {
namespace {

TEST(DriverEntry, RegistersTheNdis40HandlerTable) {
  sim::Machine machine;
  machine.bus().startTrace();
  Adapter stale{};
  AdapterList = &stale;  // left over from an earlier load

  EXPECT_EQ(machine.loadDriver(&DriverEntry), STATUS_SUCCESS);

  const NDIS40_MINIPORT_CHARACTERISTICS* table = machine.characteristics();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(machine.registeredLength(), sizeof(NDIS40_MINIPORT_CHARACTERISTICS));
  if (sizeof(void*) == 4) {
    EXPECT_EQ(machine.registeredLength(), 72u);
  }
  EXPECT_EQ(table->MajorNdisVersion, 4);
  EXPECT_EQ(table->MinorNdisVersion, 0);
  EXPECT_EQ(table->CheckForHangHandler, nullptr);
  EXPECT_EQ(table->DisableInterruptHandler, &MiniportDisableInterrupt);
  EXPECT_EQ(table->EnableInterruptHandler, &MiniportEnableInterrupt);
  EXPECT_EQ(table->HaltHandler, &MiniportHalt);
  EXPECT_EQ(table->HandleInterruptHandler, &MiniportHandleInterrupt);
  EXPECT_EQ(table->InitializeHandler, &MiniportInitialize);
  EXPECT_EQ(table->ISRHandler, &MiniportISR);
  EXPECT_EQ(table->QueryInformationHandler, &MiniportQueryInformation);
  EXPECT_EQ(table->ReconfigureHandler, nullptr);
  EXPECT_EQ(table->ResetHandler, &MiniportReset);
  EXPECT_EQ(table->SendHandler, &MiniportSend);
  EXPECT_EQ(table->SetInformationHandler, &MiniportSetInformation);
  EXPECT_EQ(table->TransferDataHandler, &MiniportTransferData);
  EXPECT_EQ(table->ReturnPacketHandler, nullptr);
  EXPECT_EQ(table->SendPacketsHandler, nullptr);
  EXPECT_EQ(table->AllocateCompleteHandler, nullptr);

  EXPECT_EQ(AdapterList, nullptr);
  EXPECT_TRUE(machine.errorLog().empty());
  EXPECT_TRUE(machine.bus().trace().empty()) << "loading the driver touched a port";
}

class RefusedRegistration : public ::testing::TestWithParam<NDIS_STATUS> {};

TEST_P(RefusedRegistration, FailsTheLoadWithUnsuccessfulWhateverNdisSaid) {
  sim::Machine machine;
  machine.failMiniportRegistration(GetParam());

  EXPECT_EQ(machine.loadDriver(&DriverEntry), static_cast<NTSTATUS>(0xC0000001));
  EXPECT_TRUE(machine.errorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Statuses, RefusedRegistration,
                         ::testing::Values(NDIS_STATUS_FAILURE, NDIS_STATUS_BAD_VERSION,
                                           NDIS_STATUS_BAD_CHARACTERISTICS, NDIS_STATUS_RESOURCES,
                                           NDIS_STATUS_PENDING, NDIS_STATUS_NOT_ACCEPTED,
                                           static_cast<NDIS_STATUS>(0x00000001)));

}  // namespace
}  // namespace kl::test
