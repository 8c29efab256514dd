// PHY discovery, media selection and link tracking over the MII management
// frames.
#include "nic/registers.h"
#include "phy/mii_page.h"
#include "phy/phy.h"
#include "platform/hal.h"

namespace {

// Time the PHY is given to settle after its advertisement is programmed.
constexpr ULONG kPhySettleUs = 500000;
// Negotiating afresh takes at most: the partner noticing the loss (150 ms at
// 10 Mbit/s, IEEE 802.3 14.2.1.7), its break_link_timer (1.5 s, 28.3.2), then
// parallel detection's link test (240 ms, 14.2.1.7) and autoneg_wait_timer
// (1 s, 28.3.2): 2.89 s. BMSR is polled every 60 ms up to 50 times, 3 s.
constexpr ULONG kNegotiationPolls = 50;
constexpr ULONG kNegotiationPollUs = 60000;
constexpr USHORT kNegotiatedLink = kBmsrLinkStatus | kBmsrNegotiationComplete;
// A reset is over within 0.5 s: BMCR is polled every 50 ms, 10 times.
constexpr ULONG kResetPolls = 10;
constexpr ULONG kResetPollUs = 50000;

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
// Until a link has been resolved there is no duplex to follow, and the MAC
// stays at half duplex, which never garbles a frame on either kind of link.
UCHAR LinkFullDuplex(const Adapter* adapter) {
  if (!adapter->LinkResolved) {
    return 0;
  }
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

// BMCR once the PHY is out of its power-up or a reset, which it is within
// 0.5 s (IEEE 802.3 22.2.4.1.1). Until then BMCR reads with the reset bit set
// and the part need not take BMCR writes. With no PHY on the bus BMCR reads
// as MDIO floats, and nothing is waited for.
USHORT BmcrOutOfReset(Adapter* adapter) {
  USHORT bmcr = MiiRead(adapter, kMiiBmcr);
  for (ULONG poll = 0;
       poll < kResetPolls && (bmcr & kBmcrReset) && adapter->PhyAddress < kPhyAddressCount;
       ++poll) {
    KeStallExecutionProcessor(kResetPollUs);
    bmcr = MiiRead(adapter, kMiiBmcr);
  }
  return bmcr;
}

// Waits until the PHY reports a link with negotiation complete, or the
// longest negotiation has passed. The first read also takes away the drop
// that starting negotiation latched.
VOID WaitForNegotiation(Adapter* adapter) {
  for (ULONG poll = 0; poll < kNegotiationPolls; ++poll) {
    KeStallExecutionProcessor(kNegotiationPollUs);
    if ((MiiRead(adapter, kMiiBmsr) & kNegotiatedLink) == kNegotiatedLink) {
      return;
    }
  }
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

  // The self-clearing bits are commands, never part of a setting to write
  // back.
  const USHORT heldBmcr = Cleared(BmcrOutOfReset(adapter), kBmcrReset | kBmcrRestartNegotiation);
  const USHORT heldAnar = MiiRead(adapter, kMiiAnar);
  USHORT bmcr = heldBmcr;
  USHORT anar = static_cast<USHORT>(heldAnar | kAnarAllAbilities);
  if (adapter->ConnectionType < kMediaSelectionCount) {
    const MediaSelection& media = kMediaSelections[adapter->ConnectionType];
    bmcr = static_cast<USHORT>(Cleared(bmcr, media.BmcrClear) | media.BmcrSet);
    anar = Cleared(anar, media.AnarClear);
  }
  adapter->BmcrShadow = bmcr;
  MiiWrite(adapter, kMiiAnar, anar);
  // Some parts hold ability bits as they were strapped: what the PHY
  // advertises is what it took, read back.
  adapter->AnarShadow = MiiRead(adapter, kMiiAnar);

  // A PHY takes a new advertisement only when it next negotiates, and one
  // that negotiated before the driver loaded (at power-up, or for an earlier
  // driver) would keep the link it found until the cable moved. Negotiation
  // starts again for a changed advertisement, and is waited for; a PHY with
  // auto-negotiation off starts when LinkResolve switches it on.
  if (adapter->AnarShadow != heldAnar && (heldBmcr & kBmcrAutoNegotiate)) {
    MiiWrite(adapter, kMiiBmcr, static_cast<USHORT>(heldBmcr | kBmcrRestartNegotiation));
    WaitForNegotiation(adapter);
  } else {
    KeStallExecutionProcessor(kPhySettleUs);
  }
  return TRUE;
}

VOID LinkResolve(Adapter* adapter) {
  if (!(MiiRead(adapter, kMiiBmcr) & kBmcrAutoNegotiate)) {
    MiiWrite(adapter, kMiiBmcr,
             adapter->BmcrShadow | kBmcrSpeed100 | kBmcrAutoNegotiate | kBmcrFullDuplex);
    WaitForNegotiation(adapter);
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
  adapter->LinkResolved = 1;

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

// The link is resolved when it came or went since it was last looked at (a
// drop shows in BMSR until it is read), asked or not: bring-up looks again
// only after it has acknowledged the PHY events its own work raised, and a
// change among them would otherwise be reported with the speed and duplex of
// no link. Asked, it is resolved while it is down too, so that negotiation
// is switched back on to find a partner. A link that stayed up since it was
// resolved needs nothing: resolving it again would switch negotiation back on
// for a partner just found not to negotiate, whose drop would raise the next
// event, and so on for ever.
//
// The link's duplex goes to the MAC in MIIMR, on page 3; the page the caller
// had selected is given back, so the receive ring's boundary register at the
// same offset of page 0 is never touched.
VOID LinkUpdate(Adapter* adapter, UCHAR resolve) {
  const UCHAR wasUp = adapter->LinkUp;
  adapter->LinkUp = ReadLinkStatus(adapter);
  if (adapter->LinkUp != wasUp || (resolve && !adapter->LinkUp)) {
    LinkResolve(adapter);
  }

  const UCHAR found = SelectMiiPage(adapter);
  UCHAR miimr = ReadRegister(adapter, kMiimr);
  miimr = LinkFullDuplex(adapter) ? static_cast<UCHAR>(miimr | kMiimrFullDuplex)
                                  : static_cast<UCHAR>(miimr & ~kMiimrFullDuplex);
  WriteRegister(adapter, kMiimr, miimr);
  RestorePage(adapter, found);
}
