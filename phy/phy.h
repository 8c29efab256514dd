// PHY management: MII management frames on the controller's MIIMR lines,
// PHY discovery, media selection and link tracking.
#pragma once

#include "driver/adapter.h"

// Writes value to PHY register reg (its low five bits are sent) of the PHY at
// PhyAddress.
VOID MiiWrite(Adapter* adapter, UCHAR reg, USHORT value);

// Reads PHY register reg of the PHY at PhyAddress. A PHY that does not answer
// reads as the floating level of MDIO; there is no error indication.
USHORT MiiRead(Adapter* adapter, UCHAR reg);

// Finds the PHY, programs its advertisement for ConnectionType, has it
// negotiate again when that changed what it advertises and waits for that,
// or else lets it settle.
BOOLEAN PhySetup(Adapter* adapter);

// Reads the link and, with the link up, the partner's abilities, the speed and
// the duplex to use.
VOID LinkResolve(Adapter* adapter);

// Refreshes LinkUp, resolves again when the link came or went since the last
// look, or when resolve is non-zero and the link is down, and sets the MAC's
// duplex to the resolved link's.
VOID LinkUpdate(Adapter* adapter, UCHAR resolve);
