#include "sim/host/miniport_block.h"

#include <span>

#include "sim/host/miniport_adapter.h"

namespace {

// The filter's receive handlers. A driver image calls them from code built
// for Windows, so on a 32-bit host they take no stack alignment for granted.
VOID NDIS_API EthFilterIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext,
                                       PCHAR /*Address*/, PVOID HeaderBuffer, UINT HeaderBufferSize,
                                       PVOID LookaheadBuffer, UINT LookaheadBufferSize,
                                       UINT PacketSize) {
  Filter->adapter->indicateReceive(
      MacReceiveContext,
      std::span(static_cast<const std::uint8_t*>(HeaderBuffer), HeaderBufferSize),
      std::span(static_cast<const std::uint8_t*>(LookaheadBuffer), LookaheadBufferSize),
      PacketSize);
}

VOID NDIS_API EthFilterIndicateReceiveComplete(PETH_FILTER Filter) {
  Filter->adapter->indicateReceiveComplete();
}

}  // namespace

namespace kl::sim {

MiniportBlock::MiniportBlock(MiniportAdapter& adapter) : filter_{&adapter} {
  block_.EthDB = &filter_;
  block_.EthRxIndicateHandler = EthFilterIndicateReceive;
  block_.EthRxCompleteHandler = EthFilterIndicateReceiveComplete;
}

}  // namespace kl::sim
