#include "kl7046/statistics.h"

#include "sim/world/traffic_station.h"

namespace kl::tools {

namespace {

struct NamedOid {
  const char* name;
  NDIS_OID oid;
};

constexpr NamedOid kStatistics[] = {
    {"XMIT_OK", OID_GEN_XMIT_OK},
    {"RCV_OK", OID_GEN_RCV_OK},
    {"XMIT_ERROR", OID_GEN_XMIT_ERROR},
    {"RCV_ERROR", OID_GEN_RCV_ERROR},
    {"RCV_NO_BUFFER", OID_GEN_RCV_NO_BUFFER},
    {"RCV_ERROR_ALIGNMENT", OID_802_3_RCV_ERROR_ALIGNMENT},
    {"XMIT_ONE_COLLISION", OID_802_3_XMIT_ONE_COLLISION},
    {"XMIT_MORE_COLLISIONS", OID_802_3_XMIT_MORE_COLLISIONS},
    {"LINK_SPEED", OID_GEN_LINK_SPEED},
    {"MEDIA_CONNECT_STATUS", OID_GEN_MEDIA_CONNECT_STATUS},
};

}  // namespace

Statistics queryStatistics(sim::MiniportAdapter& adapter) {
  Statistics statistics;
  for (const NamedOid& statistic : kStatistics) {
    statistics.emplace_back(statistic.name, sim::world::queryUlong(adapter, statistic.oid));
  }
  return statistics;
}

}  // namespace kl::tools
