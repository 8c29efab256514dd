// Reading an adapter's configuration: its registry keywords, the network
// address override and, on Micro Channel, the slot's POS bytes.
//
// Nothing here touches the card. A value the driver cannot use is not logged
// here: it comes back as a refusal, which bring-up logs before it registers
// any resource.
#pragma once

#include "driver/adapter.h"
#include "platform/ndis.h"

// ---------------------------------------------------------------------------
// Keywords: the registry value names, the parameter type each is read as, its
// default when absent or unreadable, and the values accepted.

// The card variant: 0 found by probing, 1 PC Card with attribute memory, any
// other value a card with packet memory at a fixed place.
extern NDIS_STRING CardTypeKeyword;
constexpr NDIS_PARAMETER_TYPE kCardTypeParameterType = NdisParameterHexInteger;
constexpr ULONG kCardTypeProbed = 0;
constexpr ULONG kCardTypePcCard = 1;
constexpr ULONG kCardTypeDefault = kCardTypeProbed;

// The NDIS_INTERFACE_TYPE of the card's bus; only its low byte is kept.
extern NDIS_STRING BusTypeKeyword;
constexpr NDIS_PARAMETER_TYPE kBusTypeParameterType = NdisParameterHexInteger;
constexpr ULONG kBusTypeDefault = NdisInterfaceIsa;

// The first of the card's 32 ports. On a PC Card bus the socket decides where
// the card appears, so any base is accepted there.
extern NDIS_STRING IoBaseAddressKeyword;
constexpr NDIS_PARAMETER_TYPE kIoBaseAddressParameterType = NdisParameterHexInteger;
constexpr ULONG kIoBaseAddressDefault = 0x300;
constexpr ULONG kIoBaseAddressMinimum = 0x120;
constexpr ULONG kIoBaseAddressMaximum = 0xC3D0;

// The interrupt vector and level; the low byte is taken as a signed number.
extern NDIS_STRING InterruptNumberKeyword;
constexpr NDIS_PARAMETER_TYPE kInterruptNumberParameterType = NdisParameterHexInteger;
constexpr LONG kInterruptNumberDefault = 3;
constexpr LONG kInterruptNumberMinimum = 2;
constexpr LONG kInterruptNumberMaximum = 15;

// The most multicast addresses a protocol may install. A larger value is
// ignored and the default stays.
extern NDIS_STRING MaximumMulticastListKeyword;
constexpr NDIS_PARAMETER_TYPE kMaximumMulticastListParameterType = NdisParameterInteger;
constexpr ULONG kMaximumMulticastListDefault = kMaxMulticastAddresses;
constexpr ULONG kMaximumMulticastListMinimum = 0;
constexpr ULONG kMaximumMulticastListMaximum = kMaxMulticastAddresses;

// Media selection for the PHY; only its low byte is kept.
extern NDIS_STRING ConnectionTypeKeyword;
constexpr NDIS_PARAMETER_TYPE kConnectionTypeParameterType = NdisParameterInteger;
constexpr ULONG kConnectionTypeDefault = 0;

// ---------------------------------------------------------------------------
// Micro Channel adapters whose POS bytes give the I/O base and interrupt.

constexpr USHORT kMcaAdapterId67B0 = 0x67B0;
constexpr USHORT kMcaAdapterId7154 = 0x7154;

// The value logged for a refusal that has no offending number of its own: a
// second adapter on a multiprocessor machine, or unreadable POS bytes.
constexpr ULONG kConfigRefusedValue = NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION;

// Reads the configuration into the freshly zeroed record: CardType, BusType,
// IoBaseAddress, InterruptNumber, MaxMulticastList, ConnectionType and, when
// exactly six bytes are configured, CurrentAddress. Returns the status of a
// failed NdisOpenConfiguration, else NDIS_STATUS_SUCCESS with *ConfigError
// telling whether the configuration is refused and *ConfigErrorValue what to
// log for it.
NDIS_STATUS ReadAdapterConfiguration(Adapter* adapter, NDIS_HANDLE WrapperConfigurationContext,
                                     BOOLEAN* ConfigError, ULONG* ConfigErrorValue);
