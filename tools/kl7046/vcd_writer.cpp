#include "kl7046/vcd_writer.h"

#include <stdexcept>

namespace kl::tools {

namespace {

constexpr char kMdc = '!';
constexpr char kHost = '"';
constexpr char kPhy = '#';
constexpr char kLine = '$';

char level(bool high) { return high ? '1' : '0'; }

}  // namespace

VcdWriter::VcdWriter(const std::filesystem::path& path, const sim::Clock& clock)
    : out_(path), clock_(clock) {
  if (!out_) {
    throw std::runtime_error("cannot write " + path.string());
  }
  out_ << "$version kl7046 trace $end\n"
          "$timescale 1ns $end\n"
          "$scope module mii $end\n"
       << "$var wire 1 " << kMdc << " mdc $end\n"
       << "$var wire 1 " << kHost << " mdio_host $end\n"
       << "$var wire 1 " << kPhy << " mdio_phy $end\n"
       << "$var wire 1 " << kLine << " mdio $end\n"
       << "$upscope $end\n$enddefinitions $end\n"
       << "#0\n$dumpvars\nx" << kMdc << "\nx" << kHost << "\nx" << kPhy << "\nx" << kLine
       << "\n$end\n";
  stamped_ = sim::VirtualTime{};
}

void VcdWriter::linesChanged(const sim::card::MiiLines& lines) {
  change(kMdc, level(lines.mdc), mdc_);
  change(kHost, lines.hostDrives ? level(lines.hostLevel) : 'z', host_);
  change(kPhy, lines.deviceDrives ? level(lines.deviceLevel) : 'z', phy_);
  change(kLine, level(lines.mdio), line_);
  out_.flush();
}

void VcdWriter::change(char id, char value, char& last) {
  if (value == last) {
    return;
  }
  last = value;
  const sim::VirtualTime now = clock_.now();
  if (stamped_ != now) {
    out_ << '#' << std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() << '\n';
    stamped_ = now;
  }
  out_ << value << id << '\n';
}

}  // namespace kl::tools
