#include "phy/phy.h"

// PHY management is not built yet: no PHY is found or programmed, and the
// link state stays as initialisation left it.

VOID MiiWrite(Adapter* /*adapter*/, UCHAR /*reg*/, USHORT /*value*/) {}

USHORT MiiRead(Adapter* /*adapter*/, UCHAR /*reg*/) { return 0xFFFF; }

BOOLEAN PhySetup(Adapter* /*adapter*/) { return TRUE; }

VOID LinkResolve(Adapter* /*adapter*/) {}

VOID LinkUpdate(Adapter* /*adapter*/, UCHAR /*resolve*/) {}
