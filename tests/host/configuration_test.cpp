// The configuration store as the driver reads it through NDIS.
#include <gtest/gtest.h>

#include <array>

#include "sim/host/machine.h"

namespace kl::sim {
namespace {

struct ReadCase {
  const char* name;
  RegistryValue stored;
  NDIS_PARAMETER_TYPE type;
  NDIS_STATUS status;
  ULONG value;
};

class ConfigurationRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ConfigurationRead, ParsesInTheBaseTheDriverAsks) {
  const ReadCase& c = GetParam();
  Machine machine;
  AdapterSetup setup;
  setup.keywords["IoBaseAddress"] = c.stored;
  MiniportAdapter& adapter = machine.addAdapter(setup);

  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE configuration = nullptr;
  NdisOpenConfiguration(&status, &configuration, adapter.configurationContext());
  ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
  NDIS_STRING keyword = NDIS_STRING_CONST("IOBASEADDRESS");
  PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
  NdisReadConfiguration(&status, &parameter, configuration, &keyword, c.type);
  EXPECT_EQ(status, c.status);
  if (c.status == NDIS_STATUS_SUCCESS) {
    ASSERT_NE(parameter, nullptr);
    EXPECT_EQ(parameter->ParameterData.IntegerData, c.value);
  }
  NdisCloseConfiguration(configuration);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ConfigurationRead,
    ::testing::Values(ReadCase{"hex_text", std::string("300"), NdisParameterHexInteger,
                               NDIS_STATUS_SUCCESS, 0x300},
                      ReadCase{"decimal_text", std::string("300"), NdisParameterInteger,
                               NDIS_STATUS_SUCCESS, 300},
                      ReadCase{"number_as_stored", std::uint32_t{0x11F}, NdisParameterInteger,
                               NDIS_STATUS_SUCCESS, 0x11F},
                      ReadCase{"not_a_number", std::string("3x0"), NdisParameterHexInteger,
                               NDIS_STATUS_FAILURE, 0},
                      ReadCase{"empty", std::string(""), NdisParameterInteger, NDIS_STATUS_FAILURE,
                               0},
                      ReadCase{"too_large", std::string("100000000"), NdisParameterHexInteger,
                               NDIS_STATUS_FAILURE, 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Configuration, AbsentKeywordFailsAndLeavesTheDefaultToTheDriver) {
  Machine machine;
  MiniportAdapter& adapter = machine.addAdapter();
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE configuration = nullptr;
  NdisOpenConfiguration(&status, &configuration, adapter.configurationContext());
  NDIS_STRING keyword = NDIS_STRING_CONST("InterruptNumber");
  PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
  NdisReadConfiguration(&status, &parameter, configuration, &keyword, NdisParameterInteger);
  EXPECT_EQ(status, NDIS_STATUS_FAILURE);
  NdisCloseConfiguration(configuration);
}

TEST(Configuration, NetworkAddressOverrideKeepsItsLength) {
  Machine machine;
  AdapterSetup setup;
  setup.networkAddress = std::vector<std::uint8_t>{0x02, 0x00, 0x5E, 0x10, 0x20};
  MiniportAdapter& adapter = machine.addAdapter(setup);
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE configuration = nullptr;
  NdisOpenConfiguration(&status, &configuration, adapter.configurationContext());
  PVOID address = nullptr;
  UINT length = 0;
  NdisReadNetworkAddress(&status, &address, &length, configuration);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(length, 5U);
  EXPECT_EQ(static_cast<const std::uint8_t*>(address)[4], 0x20);
  NdisCloseConfiguration(configuration);
}

TEST(Configuration, AttributeMemoryReadsShortAtItsEnd) {
  Machine machine;
  AdapterSetup setup;
  setup.attributeMemory.assign(0x7FC, 0xAB);
  MiniportAdapter& adapter = machine.addAdapter(setup);
  std::array<std::uint8_t, 6> bytes{};
  EXPECT_EQ(NdisReadPcmciaAttributeMemory(adapter.handle(), 0x7F8, bytes.data(), 6), 4U);
  EXPECT_EQ(bytes, (std::array<std::uint8_t, 6>{0xAB, 0xAB, 0xAB, 0xAB, 0, 0}));
}

TEST(Configuration, McaPosInformationFailsWithoutASlot) {
  Machine machine;
  MiniportAdapter& plain = machine.addAdapter();
  AdapterSetup mca;
  mca.mca = McaSlot{.channel = 2, .pos = {.AdapterId = 0x67B0, .PosData1 = 0x4A}};
  MiniportAdapter& slotted = machine.addAdapter(mca);

  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  UINT channel = 0;
  NDIS_MCA_POS_DATA pos{};
  NdisReadMcaPosInformation(&status, plain.configurationContext(), &channel, &pos);
  EXPECT_EQ(status, NDIS_STATUS_FAILURE);
  NdisReadMcaPosInformation(&status, slotted.configurationContext(), &channel, &pos);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(channel, 2U);
  EXPECT_EQ(pos.AdapterId, 0x67B0);
  EXPECT_EQ(pos.PosData1, 0x4A);
}

}  // namespace
}  // namespace kl::sim
