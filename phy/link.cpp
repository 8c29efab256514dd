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

// The abilities two negotiating ends may have in common, best first, as
// auto-negotiation ranks them: the link runs at the first that both
// advertise. 100BASE-T4 ranks between the two 100BASE-TX modes and runs half
// duplex.
struct RankedAbility {
  USHORT Ability;
  UCHAR FullDuplex;
};

constexpr RankedAbility kAbilityRanking[] = {
    {kAnar100BaseTxFullDuplex, 1}, {kAnar100BaseT4, 0}, {kAnar100BaseTx, 0},
    {kAnar10BaseTFullDuplex, 1},   {kAnar10BaseT, 0},
};

// The duplex the link was last resolved to. After a negotiation the PHY runs
// the best ability that both ends advertised, whatever the partner's other
// abilities; after forcing, the duplex forced. The MAC must follow it: a
// full-duplex MAC on a half-duplex link ignores collisions, so frames it
// sends over the partner's arrive damaged and late collisions go unseen.
UCHAR LinkFullDuplex(const Adapter* adapter) {
  if (!(adapter->BmcrShadow & kBmcrAutoNegotiate)) {
    return (adapter->BmcrShadow & kBmcrFullDuplex) ? 1 : 0;
  }
  const USHORT common = adapter->AnarShadow & adapter->PartnerAbility;
  for (const RankedAbility& ranked : kAbilityRanking) {
    if (common & ranked.Ability) {
      return ranked.FullDuplex;
    }
  }
  return 0;
}

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

  const USHORT heldBmcr = MiiRead(adapter, kMiiBmcr);
  const USHORT heldAnar = MiiRead(adapter, kMiiAnar);
  USHORT bmcr = heldBmcr;
  USHORT anar = static_cast<USHORT>(heldAnar | kAnarAllAbilities);
  if (adapter->ConnectionType < kMediaSelectionCount) {
    const MediaSelection& media = kMediaSelections[adapter->ConnectionType];
    bmcr = static_cast<USHORT>(Cleared(bmcr, media.BmcrClear) | media.BmcrSet);
    anar = Cleared(anar, media.AnarClear);
  }
  adapter->BmcrShadow = bmcr;
  adapter->AnarShadow = anar;
  MiiWrite(adapter, kMiiAnar, anar);

  // A PHY takes a new advertisement only when it next negotiates, and one
  // that negotiated before the driver loaded (at power-up, or for an earlier
  // driver) would keep the link it found until the cable moved. Negotiation
  // starts again for a changed advertisement, within the settle time; a PHY
  // with auto-negotiation off starts when LinkResolve switches it on.
  const BOOLEAN renegotiate = anar != heldAnar && (heldBmcr & kBmcrAutoNegotiate);
  if (renegotiate) {
    MiiWrite(adapter, kMiiBmcr, static_cast<USHORT>(heldBmcr | kBmcrRestartNegotiation));
  }

  KeStallExecutionProcessor(kPhySettleUs);

  // The restart took the link down, and BMSR keeps a lost link until it is
  // read: read that away, so that the link is next seen as it is now.
  if (renegotiate) {
    (VOID) MiiRead(adapter, kMiiBmsr);
  }
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

// The link's duplex goes to the MAC in MIIMR, on page 3; the page the caller
// had selected is given back, so the receive ring's boundary register at the
// same offset of page 0 is never touched.
VOID LinkUpdate(Adapter* adapter, UCHAR resolve) {
  adapter->LinkUp = ReadLinkStatus(adapter);
  if (resolve) {
    LinkResolve(adapter);
  }

  const UCHAR found = SelectMiiPage(adapter);
  UCHAR miimr = ReadRegister(adapter, kMiimr);
  miimr = LinkFullDuplex(adapter) ? static_cast<UCHAR>(miimr | kMiimrFullDuplex)
                                  : static_cast<UCHAR>(miimr & ~kMiimrFullDuplex);
  WriteRegister(adapter, kMiimr, miimr);
  RestorePage(adapter, found);
}
