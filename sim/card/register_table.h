// Every register the card decodes in its 16-port window: where it sits (page,
// offset and the direction that reaches it), its name, its value at power-up,
// the bits a write leaves alone and the bits a 1 written clears, and the
// names of its single bits. The controller keeps and changes its registers
// by this table, and traces name the accesses and their bits by it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/bus/io_device.h"

namespace kl::sim::card {

// One entry a register, in the table's order.
enum class Register : std::uint8_t {
  Cr,
  Pstart,
  Pstop,
  Bnry,
  Tsr,
  Tpsr,
  Tbcr0,
  Tbcr1,
  Isr,
  Crda0,
  Rsar0,
  Crda1,
  Rsar1,
  Rbcr0,
  Rbcr1,
  Vendor,
  Rsr,
  Rcr,
  Cntr0,
  Tcr,
  Cntr1,
  Dcr,
  Cntr2,
  Imr,
  Par0,
  Par1,
  Par2,
  Par3,
  Par4,
  Par5,
  Curr,
  Mar0,
  Mar1,
  Mar2,
  Mar3,
  Mar4,
  Mar5,
  Mar6,
  Mar7,
  Miimr,
};

enum class RegisterAccess : std::uint8_t { Read, Write, ReadWrite };

// Bit names from bit 0 up; empty for a bit that is part of a field, or
// means nothing.
using BitNames = std::array<std::string_view, 8>;

struct RegisterInfo {
  Register id;
  std::uint8_t page;  // kEveryPage for CR
  std::uint8_t offset;
  RegisterAccess access;
  std::string_view name;
  std::uint8_t resetValue;       // as the register holds it from power-up
  std::uint8_t readOnlyMask;     // bits a write leaves as they are
  std::uint8_t writeOneToClear;  // bits a 1 written clears, a 0 leaves
  BitNames bits;

  [[nodiscard]] constexpr bool reads() const { return access != RegisterAccess::Write; }
  [[nodiscard]] constexpr bool writes() const { return access != RegisterAccess::Read; }
  // The register's value after a write of `value` over `held`.
  [[nodiscard]] constexpr std::uint8_t written(std::uint8_t held, std::uint8_t value) const {
    const auto kept = static_cast<std::uint8_t>(held & (readOnlyMask | writeOneToClear));
    const auto stored = static_cast<std::uint8_t>(value & ~(readOnlyMask | writeOneToClear));
    const auto cleared = static_cast<std::uint8_t>(value & writeOneToClear);
    return static_cast<std::uint8_t>((kept | stored) & ~cleared);
  }
};

inline constexpr std::uint8_t kEveryPage = 0xFF;
inline constexpr std::uint8_t kWindowSize = 0x10;

namespace detail {

constexpr BitNames kNoBits = {};
constexpr BitNames kInterruptBits = {"PRX", "PTX", "RXE", "TXE", "OVW", "CNT", "RDC", "RST"};

constexpr RegisterInfo plain(Register id, std::uint8_t page, std::uint8_t offset,
                             RegisterAccess access, std::string_view name,
                             const BitNames& bits = kNoBits) {
  return {id, page, offset, access, name, 0x00, 0x00, 0x00, bits};
}

using enum Register;
using enum RegisterAccess;

}  // namespace detail

// At page 0, offset 0x0B, a write reaches RBCR1 unless it comes right after
// a read there, which arms it for the vendor register: the lookup finds
// RBCR1 for a write, and the card takes VENDOR itself when armed.
inline constexpr std::array<RegisterInfo, 40> kRegisters = {{
    // CR: stopped, remote DMA aborted, page 0. TXP reads back set while a
    // frame is being sent; PS and RD are fields.
    {detail::Cr,
     kEveryPage,
     0x00,
     detail::ReadWrite,
     "CR",
     0x21,
     0x00,
     0x00,
     {"STP", "STA", "TXP", "", "", "", "", ""}},
    detail::plain(detail::Pstart, 0, 0x01, detail::Write, "PSTART"),
    detail::plain(detail::Pstop, 0, 0x02, detail::Write, "PSTOP"),
    detail::plain(detail::Bnry, 0, 0x03, detail::ReadWrite, "BNRY"),
    detail::plain(detail::Tsr, 0, 0x04, detail::Read, "TSR",
                  {"PTX", "", "COL", "ABT", "CRS", "FU", "CDH", "OWC"}),
    detail::plain(detail::Tpsr, 0, 0x04, detail::Write, "TPSR"),
    detail::plain(detail::Tbcr0, 0, 0x05, detail::Write, "TBCR0"),
    detail::plain(detail::Tbcr1, 0, 0x06, detail::Write, "TBCR1"),
    // ISR: status bits a 1 acknowledges; RST follows the stopped state.
    {detail::Isr, 0, 0x07, detail::ReadWrite, "ISR", 0x00, 0x80, 0x7F, detail::kInterruptBits},
    detail::plain(detail::Crda0, 0, 0x08, detail::Read, "CRDA0"),
    detail::plain(detail::Rsar0, 0, 0x08, detail::Write, "RSAR0"),
    detail::plain(detail::Crda1, 0, 0x09, detail::Read, "CRDA1"),
    detail::plain(detail::Rsar1, 0, 0x09, detail::Write, "RSAR1"),
    detail::plain(detail::Rbcr0, 0, 0x0A, detail::Write, "RBCR0"),
    detail::plain(detail::Rbcr1, 0, 0x0B, detail::Write, "RBCR1"),
    detail::plain(detail::Vendor, 0, 0x0B, detail::ReadWrite, "VENDOR",
                  {"interrupt output", "PHY event", "", "", "", "", "", ""}),
    detail::plain(detail::Rsr, 0, 0x0C, detail::Read, "RSR",
                  {"PRX", "CRC", "FAE", "FO", "MPA", "PHY", "DIS", "DFR"}),
    detail::plain(detail::Rcr, 0, 0x0C, detail::Write, "RCR",
                  {"SEP", "AR", "AB", "AM", "PRO", "MON", "", ""}),
    detail::plain(detail::Cntr0, 0, 0x0D, detail::Read, "CNTR0"),
    // TCR: LB, bits 1 and 2, is the loopback field.
    detail::plain(detail::Tcr, 0, 0x0D, detail::Write, "TCR",
                  {"CRC inhibited", "", "", "ATD", "OFST", "", "", ""}),
    detail::plain(detail::Cntr1, 0, 0x0E, detail::Read, "CNTR1"),
    // DCR: FT, bits 5 and 6, is the FIFO threshold field.
    detail::plain(detail::Dcr, 0, 0x0E, detail::Write, "DCR",
                  {"WTS", "BOS", "LAS", "LS", "ARM", "", "", ""}),
    detail::plain(detail::Cntr2, 0, 0x0F, detail::Read, "CNTR2"),
    // IMR has no bit for RST: entering the stopped state never interrupts.
    {detail::Imr, 0, 0x0F, detail::Write, "IMR", 0x00, 0x80, 0x00, detail::kInterruptBits},
    detail::plain(detail::Par0, 1, 0x01, detail::ReadWrite, "PAR0"),
    detail::plain(detail::Par1, 1, 0x02, detail::ReadWrite, "PAR1"),
    detail::plain(detail::Par2, 1, 0x03, detail::ReadWrite, "PAR2"),
    detail::plain(detail::Par3, 1, 0x04, detail::ReadWrite, "PAR3"),
    detail::plain(detail::Par4, 1, 0x05, detail::ReadWrite, "PAR4"),
    detail::plain(detail::Par5, 1, 0x06, detail::ReadWrite, "PAR5"),
    detail::plain(detail::Curr, 1, 0x07, detail::ReadWrite, "CURR"),
    detail::plain(detail::Mar0, 1, 0x08, detail::ReadWrite, "MAR0"),
    detail::plain(detail::Mar1, 1, 0x09, detail::ReadWrite, "MAR1"),
    detail::plain(detail::Mar2, 1, 0x0A, detail::ReadWrite, "MAR2"),
    detail::plain(detail::Mar3, 1, 0x0B, detail::ReadWrite, "MAR3"),
    detail::plain(detail::Mar4, 1, 0x0C, detail::ReadWrite, "MAR4"),
    detail::plain(detail::Mar5, 1, 0x0D, detail::ReadWrite, "MAR5"),
    detail::plain(detail::Mar6, 1, 0x0E, detail::ReadWrite, "MAR6"),
    detail::plain(detail::Mar7, 1, 0x0F, detail::ReadWrite, "MAR7"),
    // MIIMR: the MAC comes up at full duplex; MDIO in is the level the PHY
    // drives, read from the line rather than held.
    {detail::Miimr,
     3,
     0x03,
     detail::ReadWrite,
     "MIIMR",
     0x40,
     0x08,
     0x00,
     {"MDC", "MDIO out", "MDIO released", "MDIO in", "", "", "full duplex", ""}},
}};

inline constexpr std::size_t kRegisterCount = kRegisters.size();

// The table is in the order of Register, which indexes it.
static_assert([] {
  for (std::size_t i = 0; i < kRegisterCount; ++i) {
    if (static_cast<std::size_t>(kRegisters[i].id) != i) {
      return false;
    }
  }
  return true;
}());

[[nodiscard]] constexpr const RegisterInfo& registerInfo(Register id) {
  return kRegisters[static_cast<std::size_t>(id)];
}

namespace detail {

// For each direction, page and offset, the index of the register reached,
// or kNowhere: the decoder an access goes through, worked out from the table.
using DecodeTable = std::array<std::array<std::array<std::uint8_t, kWindowSize>, 4>, 2>;
inline constexpr std::uint8_t kNowhere = 0xFF;

constexpr DecodeTable decodeTable() {
  DecodeTable table{};
  for (auto& pages : table) {
    for (auto& offsets : pages) {
      offsets.fill(kNowhere);
    }
  }
  // The first entry that answers wins, as at offset 0x0B of page 0.
  for (std::size_t i = kRegisterCount; i-- > 0;) {
    const RegisterInfo& info = kRegisters[i];
    for (std::uint8_t page = 0; page < 4; ++page) {
      if (info.page != kEveryPage && info.page != page) {
        continue;
      }
      if (info.reads()) {
        table[0][page][info.offset] = static_cast<std::uint8_t>(i);
      }
      if (info.writes()) {
        table[1][page][info.offset] = static_cast<std::uint8_t>(i);
      }
    }
  }
  return table;
}

inline constexpr DecodeTable kDecode = decodeTable();

}  // namespace detail

// The register an access of `direction` at `offset` reaches with `page`
// selected; none where nothing answers that access.
[[nodiscard]] constexpr const RegisterInfo* findRegister(std::uint8_t page, std::uint8_t offset,
                                                         Direction direction) {
  if (page >= 4 || offset >= kWindowSize) {
    return nullptr;
  }
  const std::uint8_t index = detail::kDecode[direction == Direction::Read ? 0 : 1][page][offset];
  return index == detail::kNowhere ? nullptr : &kRegisters[index];
}

// The register the table calls `name`; none for a name it does not have.
[[nodiscard]] constexpr const RegisterInfo* registerNamed(std::string_view name) {
  for (const RegisterInfo& info : kRegisters) {
    if (info.name == name) {
      return &info;
    }
  }
  return nullptr;
}

// The register whose bit is called `bit` in the table: the mask of that bit.
// Evaluated while compiling, so a name the table lacks does not build.
consteval std::uint8_t bitOf(Register id, std::string_view bit) {
  const BitNames& names = registerInfo(id).bits;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == bit) {
      return static_cast<std::uint8_t>(1U << i);
    }
  }
  throw "no such bit in the register table";
}

// What is wrong with an access that reaches no register: a read of a
// write-only register, a write of a read-only one, or an offset where none
// is, named for the broken-rule report.
[[nodiscard]] std::string missingRegister(std::uint8_t page, std::uint8_t offset,
                                          Direction direction);

// The bits set in `value` that the register names, joined by ", "; on a
// write, only the bits a write can change. Empty when none are.
[[nodiscard]] std::string namedBits(const RegisterInfo& info, Direction direction,
                                    std::uint8_t value);

}  // namespace kl::sim::card
