// The card's port offsets as the controller's register map documents them,
// for tests on either side of the bus. They are written out here, not taken
// from the driver or the card model, so that a wrong offset in either shows.
#pragma once

#include <cstdint>

namespace kl::test::port {

inline constexpr std::uint16_t CR = 0x00;  // every page
// Page 0.
inline constexpr std::uint16_t PSTART = 0x01;
inline constexpr std::uint16_t PSTOP = 0x02;
inline constexpr std::uint16_t BNRY = 0x03;
inline constexpr std::uint16_t TPSR = 0x04;  // write
inline constexpr std::uint16_t TSR = 0x04;   // read
inline constexpr std::uint16_t TBCR0 = 0x05;
inline constexpr std::uint16_t TBCR1 = 0x06;
inline constexpr std::uint16_t ISR = 0x07;
inline constexpr std::uint16_t RSAR0 = 0x08;  // write
inline constexpr std::uint16_t RSAR1 = 0x09;  // write
inline constexpr std::uint16_t CRDA0 = 0x08;  // read
inline constexpr std::uint16_t CRDA1 = 0x09;  // read
inline constexpr std::uint16_t RBCR0 = 0x0A;
inline constexpr std::uint16_t RBCR1 = 0x0B;   // write, unless a read of it came just before
inline constexpr std::uint16_t VENDOR = 0x0B;  // read, and the write right after it
inline constexpr std::uint16_t RCR = 0x0C;     // write
inline constexpr std::uint16_t RSR = 0x0C;     // read
inline constexpr std::uint16_t TCR = 0x0D;     // write
inline constexpr std::uint16_t CNTR0 = 0x0D;   // read
inline constexpr std::uint16_t DCR = 0x0E;     // write
inline constexpr std::uint16_t CNTR1 = 0x0E;   // read
inline constexpr std::uint16_t IMR = 0x0F;     // write
inline constexpr std::uint16_t CNTR2 = 0x0F;   // read
// Page 1.
inline constexpr std::uint16_t PAR0 = 0x01;
inline constexpr std::uint16_t CURR = 0x07;
inline constexpr std::uint16_t MAR0 = 0x08;
// Page 3.
inline constexpr std::uint16_t MIIMR = 0x03;
// Outside the register pages.
inline constexpr std::uint16_t DATA = 0x10;
inline constexpr std::uint16_t RESET = 0x1F;

}  // namespace kl::test::port
