#include "sim/card/phy/phy_model.h"

namespace kl::sim::card {

namespace {

bool at100(const LinkResult& link) { return link.up && link.mode.speed == Speed::Mbit100; }
bool fullDuplex(const LinkResult& link) { return link.up && link.mode.duplex == Duplex::Full; }

std::uint16_t status8201(const LinkResult& link) { return at100(link) ? 0x03F9 : 0x03F8; }

std::uint16_t status78E1(const LinkResult& link) {
  return static_cast<std::uint16_t>((at100(link) ? 0x4000 : 0) | (fullDuplex(link) ? 0x2000 : 0) |
                                    (link.up ? 0x0400 : 0));
}

std::uint16_t status5C21(const LinkResult& link) {
  const bool at10 = link.up && link.mode.speed == Speed::Mbit10;
  return static_cast<std::uint16_t>((link.up ? 0x0001 : 0) | (at10 ? 0x0002 : 0) |
                                    (fullDuplex(link) ? 0x0004 : 0));
}

}  // namespace

const PhyModel& phy8201() {
  static const PhyModel model{"8201", 0x00008201, 0x19, status8201, std::nullopt};
  return model;
}

const PhyModel& phy78E1() {
  static const PhyModel model{"78E1", 0x001378E1, 0x11, status78E1, 0x14};
  return model;
}

const PhyModel& phy5C21() {
  static const PhyModel model{"5C21", 0x20005C21, 0x10, status5C21, std::nullopt};
  return model;
}

PhyModel genericPhy(std::uint32_t id) {
  return PhyModel{"generic", id, std::nullopt, {}, std::nullopt};
}

}  // namespace kl::sim::card
