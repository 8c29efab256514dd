#include "driver/configuration.h"

#include "driver/driver_entry.h"

// The keyword names are read only while an adapter is being initialised, at
// passive level, so they may be paged out with the code that reads them.
NDIS_PAGEABLE_STRING(CardTypeKeyword, "CardType");
NDIS_PAGEABLE_STRING(BusTypeKeyword, "BusType");
NDIS_PAGEABLE_STRING(IoBaseAddressKeyword, "IoBaseAddress");
NDIS_PAGEABLE_STRING(InterruptNumberKeyword, "InterruptNumber");
NDIS_PAGEABLE_STRING(MaximumMulticastListKeyword, "MaximumMulticastList");
NDIS_PAGEABLE_STRING(ConnectionTypeKeyword, "ConnectionType");

namespace {

// POS byte 1 of both Micro Channel adapters: the I/O base select in bits 1-3
// and the interrupt select from bit 5 up (two bits wide on 0x67B0, three on
// 0x7154).
constexpr UCHAR kPosIoBaseShift = 1;
constexpr UCHAR kPosIoBaseMask = 0x07;
constexpr UCHAR kPosInterruptShift = 5;
constexpr UCHAR kPosInterruptMask67B0 = 0x03;
constexpr UCHAR kPosInterruptMask7154 = 0x07;

constexpr ULONG kPosIoBase67B0[] = {0x300, 0x1000, 0x2020, 0x8020, 0x300, 0x320, 0x340, 0x360};
constexpr ULONG kPosIoBase7154[] = {0x300, 0x1000, 0x2020, 0x8020, 0xA0A0, 0xB0B0, 0xC0C0, 0xC3D0};
constexpr signed char kPosInterrupt[] = {3, 4, 5, 9, 10, 11, 12, 15};

constexpr ULONG kLowByte = 0xFF;

// What the reading settles for the resources; stored in the record once the
// configuration is closed.
struct Resources {
  ULONG IoBase;
  signed char Interrupt;
  ULONG MulticastList;
};

// Reads one integer keyword. FALSE when it is absent or unreadable, which
// leaves the caller's default standing.
NDIS_PAGEABLE_CODE BOOLEAN ReadKeyword(NDIS_HANDLE configuration, PNDIS_STRING keyword,
                                       NDIS_PARAMETER_TYPE type, ULONG* value) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
  NdisReadConfiguration(&status, &parameter, configuration, keyword, type);
  if (status != NDIS_STATUS_SUCCESS) {
    return FALSE;
  }
  *value = parameter->ParameterData.IntegerData;
  return TRUE;
}

// Takes the station address from the configuration when exactly one address'
// worth of bytes is configured; anything else leaves CurrentAddress zero, so
// that the card's own address is used.
NDIS_PAGEABLE_CODE VOID ReadAddressOverride(Adapter* adapter, NDIS_HANDLE configuration) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  PVOID address = nullptr;
  UINT length = 0;
  NdisReadNetworkAddress(&status, &address, &length, configuration);
  if (status == NDIS_STATUS_SUCCESS && length == kEthernetAddressLength) {
    NdisMoveMemory(adapter->CurrentAddress, address, kEthernetAddressLength);
  }
}

// The I/O base and interrupt of a known Micro Channel adapter, from its POS
// byte 1. These come from the slot, not from a person, so they are taken as
// they are.
NDIS_PAGEABLE_CODE VOID DecodePosResources(const NDIS_MCA_POS_DATA& pos, Resources* resources) {
  const UCHAR ioField = (pos.PosData1 >> kPosIoBaseShift) & kPosIoBaseMask;
  const UCHAR interruptMask =
      pos.AdapterId == kMcaAdapterId7154 ? kPosInterruptMask7154 : kPosInterruptMask67B0;
  const UCHAR interruptField = (pos.PosData1 >> kPosInterruptShift) & interruptMask;
  resources->IoBase =
      pos.AdapterId == kMcaAdapterId7154 ? kPosIoBase7154[ioField] : kPosIoBase67B0[ioField];
  resources->Interrupt = kPosInterrupt[interruptField];
}

// The I/O base and interrupt keywords. FALSE refuses the configuration, with
// the offending value in *refusedValue; the interrupt is then not read.
NDIS_PAGEABLE_CODE BOOLEAN ReadResourceKeywords(const Adapter* adapter, NDIS_HANDLE configuration,
                                                Resources* resources, ULONG* refusedValue) {
  ULONG value = 0;
  if (ReadKeyword(configuration, &IoBaseAddressKeyword, kIoBaseAddressParameterType, &value)) {
    resources->IoBase = value;
  }
  if (adapter->BusType != NdisInterfacePcMcia &&
      (resources->IoBase < kIoBaseAddressMinimum || resources->IoBase > kIoBaseAddressMaximum)) {
    *refusedValue = resources->IoBase;
    return FALSE;
  }

  if (ReadKeyword(configuration, &InterruptNumberKeyword, kInterruptNumberParameterType, &value)) {
    const auto interrupt = static_cast<signed char>(value & kLowByte);
    if (interrupt < kInterruptNumberMinimum || interrupt > kInterruptNumberMaximum) {
      *refusedValue = static_cast<ULONG>(static_cast<LONG>(interrupt));
      return FALSE;
    }
    resources->Interrupt = interrupt;
  }
  return TRUE;
}

// Everything between opening and closing the configuration. FALSE refuses
// the configuration with *refusedValue; nothing after the refusing step is
// read.
NDIS_PAGEABLE_CODE BOOLEAN ReadSettings(Adapter* adapter, NDIS_HANDLE WrapperConfigurationContext,
                                        NDIS_HANDLE configuration, Resources* resources,
                                        ULONG* refusedValue) {
  ULONG value = 0;
  adapter->CardType = kCardTypeDefault;
  if (ReadKeyword(configuration, &CardTypeKeyword, kCardTypeParameterType, &value)) {
    adapter->CardType = value;
  }

  ReadAddressOverride(adapter, configuration);

  // The driver keeps no lock of its own between processors, so on a
  // multiprocessor machine it runs one adapter at a time.
  if (NdisSystemProcessorCount() > 1 && AdapterList != nullptr) {
    *refusedValue = kConfigRefusedValue;
    return FALSE;
  }

  adapter->BusType = static_cast<UCHAR>(kBusTypeDefault);
  if (ReadKeyword(configuration, &BusTypeKeyword, kBusTypeParameterType, &value)) {
    adapter->BusType = static_cast<UCHAR>(value & kLowByte);
  }

  BOOLEAN fromSlot = FALSE;
  if (adapter->BusType == NdisInterfaceMca) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    UINT channel = 0;
    NDIS_MCA_POS_DATA pos;
    NdisZeroMemory(&pos, sizeof(pos));
    NdisReadMcaPosInformation(&status, WrapperConfigurationContext, &channel, &pos);
    if (status != NDIS_STATUS_SUCCESS) {
      *refusedValue = kConfigRefusedValue;
      return FALSE;
    }
    if (pos.AdapterId == kMcaAdapterId67B0 || pos.AdapterId == kMcaAdapterId7154) {
      DecodePosResources(pos, resources);
      fromSlot = TRUE;
    }
  }
  if (!fromSlot && !ReadResourceKeywords(adapter, configuration, resources, refusedValue)) {
    return FALSE;
  }

  if (ReadKeyword(configuration, &MaximumMulticastListKeyword, kMaximumMulticastListParameterType,
                  &value) &&
      value <= kMaximumMulticastListMaximum) {
    resources->MulticastList = value;
  }
  adapter->ConnectionType = static_cast<UCHAR>(kConnectionTypeDefault);
  if (ReadKeyword(configuration, &ConnectionTypeKeyword, kConnectionTypeParameterType, &value)) {
    adapter->ConnectionType = static_cast<UCHAR>(value & kLowByte);
  }
  return TRUE;
}

}  // namespace

NDIS_PAGEABLE_CODE NDIS_STATUS ReadAdapterConfiguration(Adapter* adapter,
                                                        NDIS_HANDLE WrapperConfigurationContext,
                                                        BOOLEAN* ConfigError,
                                                        ULONG* ConfigErrorValue) {
  Resources resources = {kIoBaseAddressDefault, static_cast<signed char>(kInterruptNumberDefault),
                         kMaximumMulticastListDefault};
  *ConfigError = FALSE;
  *ConfigErrorValue = 0;

  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE configuration = nullptr;
  NdisOpenConfiguration(&status, &configuration, WrapperConfigurationContext);
  if (status != NDIS_STATUS_SUCCESS) {
    return status;
  }
  if (!ReadSettings(adapter, WrapperConfigurationContext, configuration, &resources,
                    ConfigErrorValue)) {
    *ConfigError = TRUE;
  }
  NdisCloseConfiguration(configuration);

  adapter->IoBaseAddress = resources.IoBase;
  adapter->InterruptNumber = resources.Interrupt;
  adapter->MaxMulticastList = resources.MulticastList;
  return NDIS_STATUS_SUCCESS;
}
