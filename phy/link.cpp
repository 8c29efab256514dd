// PHY discovery, media selection and link tracking over the MII management
// frames.
#include "nic/registers.h"
#include "phy/mii_page.h"
#include "phy/phy.h"
#include "platform/hal.h"

namespace {

// Time the PHY is given to settle after its advertisement is programmed.
constexpr ULONG kPhySettleUs = 500000;
// After auto-negotiation is switched back on: 30 waits of 60 ms, 1.8 s.
constexpr ULONG kRenegotiateWaits = 30;
constexpr ULONG kRenegotiateWaitUs = 60000;

// A PHY the driver knows: where it reports the resolved speed, and the value
// that register shows, under a mask, when the link runs at 100 Mbit/s.
struct KnownPhy {
  ULONG Id;
  UCHAR StatusRegister;
  USHORT SpeedMask;
  USHORT SpeedIs100;
};

constexpr KnownPhy kKnownPhys[] = {
    {kPhyId8201, kMii8201Status, 0xFFFF, kMii8201Status100},
    {kPhyId78E1, kMii78E1Status, kMii78E1Status100, kMii78E1Status100},
    {kPhyId5C21, kMii5C21Status, kMii5C21Status10, 0},
};

const KnownPhy* FindKnownPhy(ULONG id) {
  for (const KnownPhy& phy : kKnownPhys) {
    if (phy.Id == id) {
      return &phy;
    }
  }
  return nullptr;
}

// Media selections 0 to 4: what the forced BMCR carries and which abilities
// are withdrawn from the advertisement. Auto-negotiation is always off in the
// forced setting: it is used only when the partner does not negotiate.
struct MediaSelection {
  USHORT BmcrClear;
  USHORT BmcrSet;
  USHORT AnarClear;
};

constexpr MediaSelection kMediaSelections[] = {
    // 0: automatic.
    {kBmcrAutoNegotiate, kBmcrSpeed100 | kBmcrFullDuplex, 0},
    // 1: 10 Mbit/s half duplex.
    {kBmcrSpeed100 | kBmcrAutoNegotiate | kBmcrFullDuplex, 0,
     kAnar10BaseTFullDuplex | kAnar100BaseTx | kAnar100BaseTxFullDuplex},
    // 2: 10 Mbit/s full duplex.
    {kBmcrSpeed100 | kBmcrAutoNegotiate, kBmcrFullDuplex,
     kAnar100BaseTx | kAnar100BaseTxFullDuplex},
    // 3: 100 Mbit/s half duplex.
    {kBmcrAutoNegotiate | kBmcrFullDuplex, kBmcrSpeed100,
     kAnar10BaseT | kAnar10BaseTFullDuplex | kAnar100BaseTxFullDuplex},
    // 4: 100 Mbit/s full duplex.
    {kBmcrAutoNegotiate, kBmcrSpeed100 | kBmcrFullDuplex, kAnar10BaseT | kAnar10BaseTFullDuplex},
};
constexpr ULONG kMediaSelectionCount = sizeof(kMediaSelections) / sizeof(kMediaSelections[0]);

inline USHORT Cleared(USHORT value, USHORT bits) { return static_cast<USHORT>(value & ~bits); }

// With no PHY on the bus, BMSR reads as MDIO floats, which with the
// management bus's pull-up would claim a link; there is none to claim.
UCHAR ReadLinkStatus(Adapter* adapter) {
  const USHORT bmsr = MiiRead(adapter, kMiiBmsr);
  if (adapter->PhyAddress >= kPhyAddressCount) {
    return 0;
  }
  return (bmsr & kBmsrLinkStatus) ? 1 : 0;
}

}  // namespace

// A card on which no PHY answers is run on: the scan ends with PhyAddress at
// 32, whose low five bits put address 0 in every later frame, and the link
// then reads down.
BOOLEAN PhySetup(Adapter* adapter) {
  USHORT id2 = 0;
  for (adapter->PhyAddress = 0; adapter->PhyAddress < kPhyAddressCount; ++adapter->PhyAddress) {
    id2 = MiiRead(adapter, kMiiPhyId2);
    if (id2 != kMiiNoPhyLow && id2 != kMiiNoPhyHigh) {
      break;
    }
  }
  const USHORT id1 = MiiRead(adapter, kMiiPhyId1);
  adapter->PhyId = (static_cast<ULONG>(id1) << 16) | id2;

  if (adapter->PhyId == kPhyId78E1) {
    MiiWrite(adapter, kMii78E1Setup, kMii78E1SetupValue);
  }

  USHORT bmcr = MiiRead(adapter, kMiiBmcr);
  USHORT anar = static_cast<USHORT>(MiiRead(adapter, kMiiAnar) | kAnarAllAbilities);
  if (adapter->ConnectionType < kMediaSelectionCount) {
    const MediaSelection& media = kMediaSelections[adapter->ConnectionType];
    bmcr = static_cast<USHORT>(Cleared(bmcr, media.BmcrClear) | media.BmcrSet);
    anar = Cleared(anar, media.AnarClear);
  }
  adapter->BmcrShadow = bmcr;
  adapter->AnarShadow = anar;
  MiiWrite(adapter, kMiiAnar, anar);

  KeStallExecutionProcessor(kPhySettleUs);
  return TRUE;
}

VOID LinkResolve(Adapter* adapter) {
  if (!(MiiRead(adapter, kMiiBmcr) & kBmcrAutoNegotiate)) {
    MiiWrite(adapter, kMiiBmcr,
             adapter->BmcrShadow | kBmcrSpeed100 | kBmcrAutoNegotiate | kBmcrFullDuplex);
    for (ULONG wait = 0; wait < kRenegotiateWaits; ++wait) {
      KeStallExecutionProcessor(kRenegotiateWaitUs);
    }
  }

  adapter->LinkUp = ReadLinkStatus(adapter);
  if (!adapter->LinkUp) {
    return;
  }

  const KnownPhy* known = FindKnownPhy(adapter->PhyId);
  if (known != nullptr) {
    adapter->PhyVendorStatus = MiiRead(adapter, known->StatusRegister);
  }
  adapter->PartnerAbility = MiiRead(adapter, kMiiAnlpar);
  const USHORT aner = MiiRead(adapter, kMiiAner);
  adapter->Is100Mbps =
      known != nullptr && (adapter->PhyVendorStatus & known->SpeedMask) == known->SpeedIs100 ? 1
                                                                                             : 0;
  adapter->PartnerAbilityNonZero = adapter->PartnerAbility != 0 ? 1 : 0;

  // A partner that took part in auto-negotiation: the PHY's own resolution
  // stands.
  if (aner != 0) {
    adapter->BmcrShadow |= kBmcrAutoNegotiate;
    return;
  }

  // A partner that does not negotiate: force the media. Automatic media
  // takes the speed the PHY detected, at half duplex, which is all a partner
  // without auto-negotiation can be assumed to do.
  adapter->BmcrShadow = Cleared(adapter->BmcrShadow, kBmcrAutoNegotiate);
  if (adapter->ConnectionType == 0) {
    adapter->BmcrShadow = Cleared(adapter->BmcrShadow, kBmcrSpeed100 | kBmcrFullDuplex);
    if (adapter->Is100Mbps) {
      adapter->BmcrShadow |= kBmcrSpeed100;
    }
  }
  MiiWrite(adapter, kMiiBmcr, adapter->BmcrShadow);
}

// The partner result goes to the controller in MIIMR, on page 3; the page the
// caller had selected is given back, so the receive ring's boundary register
// at the same offset of page 0 is never touched.
VOID LinkUpdate(Adapter* adapter, UCHAR resolve) {
  adapter->LinkUp = ReadLinkStatus(adapter);
  if (resolve) {
    LinkResolve(adapter);
  }

  const UCHAR found = SelectMiiPage(adapter);
  UCHAR miimr = ReadRegister(adapter, kMiimr);
  miimr = adapter->PartnerAbilityNonZero ? static_cast<UCHAR>(miimr | kMiimrPartner)
                                         : static_cast<UCHAR>(miimr & ~kMiimrPartner);
  WriteRegister(adapter, kMiimr, miimr);
  RestorePage(adapter, found);
}
