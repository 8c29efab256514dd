// kl7046.sys itself, loaded as the system loads it: its entry point
// registers the driver's handler table, every handler lies in code that stays,
// and the entry point's own code is gone afterwards.
#include <gtest/gtest.h>

#include "sim/host/machine.h"
#include "sim/loader/driver_image.h"

namespace kl::test {
namespace {

using sim::DriverImage;
using sim::Machine;

const void* address(auto handler) { return reinterpret_cast<const void*>(handler); }

TEST(Kl7046Image, DriverEntryRegistersResidentHandlers) {
  DriverImage image(KL7046_SYS);
  Machine machine;
  machine.bus().startTrace();

  ASSERT_EQ(image.callEntry(machine), STATUS_SUCCESS);

  const NDIS40_MINIPORT_CHARACTERISTICS* table = machine.characteristics();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(machine.registeredLength(), 72U);
  EXPECT_EQ(table->MajorNdisVersion, 4);
  EXPECT_EQ(table->MinorNdisVersion, 0);
  EXPECT_EQ(table->CheckForHangHandler, nullptr);
  EXPECT_EQ(table->ReconfigureHandler, nullptr);
  EXPECT_EQ(table->ReturnPacketHandler, nullptr);
  EXPECT_EQ(table->SendPacketsHandler, nullptr);
  EXPECT_EQ(table->AllocateCompleteHandler, nullptr);
  for (const void* handler :
       {address(table->DisableInterruptHandler), address(table->EnableInterruptHandler),
        address(table->HaltHandler), address(table->HandleInterruptHandler),
        address(table->InitializeHandler), address(table->ISRHandler),
        address(table->QueryInformationHandler), address(table->ResetHandler),
        address(table->SendHandler), address(table->SetInformationHandler),
        address(table->TransferDataHandler)}) {
    EXPECT_TRUE(image.contains(handler));
    EXPECT_FALSE(image.released(handler)) << "a handler lies in code released after DriverEntry";
  }
  EXPECT_TRUE(machine.errorLog().empty());
  EXPECT_TRUE(machine.bus().trace().empty()) << "loading the driver touched a port";
}

class RefusedRegistration : public ::testing::TestWithParam<NDIS_STATUS> {};

TEST_P(RefusedRegistration, FailsTheLoadWithUnsuccessful) {
  DriverImage image(KL7046_SYS);
  Machine machine;
  machine.failMiniportRegistration(GetParam());
  EXPECT_EQ(image.callEntry(machine), static_cast<NTSTATUS>(0xC0000001));
  EXPECT_TRUE(machine.errorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Statuses, RefusedRegistration,
                         ::testing::Values(NDIS_STATUS_FAILURE, NDIS_STATUS_RESOURCES,
                                           NDIS_STATUS_PENDING,
                                           static_cast<NDIS_STATUS>(0x00000001)));

}  // namespace
}  // namespace kl::test
