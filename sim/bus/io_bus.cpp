#include "sim/bus/io_bus.h"

#include <algorithm>
#include <cstring>

namespace kl::sim {

bool IoBus::attach(PortAddress base, std::uint32_t length, IoDevice& device) {
  const bool overlaps = std::any_of(mappings_.begin(), mappings_.end(), [&](const Mapping& m) {
    return base < m.base + m.length && m.base < base + length;
  });
  if (overlaps || length == 0) {
    return false;
  }
  mappings_.push_back(Mapping{base, length, &device});
  return true;
}

void IoBus::detach(const IoDevice& device) {
  std::erase_if(mappings_, [&](const Mapping& m) { return m.device == &device; });
}

IoBus::Target IoBus::decode(PortAddress port) const {
  for (const Mapping& m : mappings_) {
    if (port >= m.base && port < m.base + m.length) {
      return Target{m.device, static_cast<std::uint16_t>(port - m.base)};
    }
  }
  return Target{nullptr, 0};
}

void IoBus::record(PortAddress port, const Target& target, std::uint8_t width, Direction direction,
                   std::uint16_t value, std::uint32_t count) {
  trace_.push_back(PortAccess{
      .time = clock_.now(),
      .port = port,
      .offset = target.offset,
      .width = width,
      .direction = direction,
      .value = value,
      .count = count,
      .name = target.device != nullptr ? target.device->registerName(target.offset, direction)
                                       : std::string_view{},
  });
}

void IoBus::accessed() const {
  if (observer_) {
    observer_();
  }
}

// The register name is taken before the access: the access itself may change
// what the offset reaches (a write of the page-select bits, for one).
std::uint8_t IoBus::read8(PortAddress port) {
  const Target t = decode(port);
  if (tracing_) {
    record(port, t, 1, Direction::Read, 0, 1);
  }
  const std::uint8_t value = t.device != nullptr ? t.device->read8(t.offset) : kFloatingByte;
  if (tracing_) {
    trace_.back().value = value;
  }
  accessed();
  return value;
}

std::uint16_t IoBus::read16(PortAddress port) {
  const Target t = decode(port);
  if (tracing_) {
    record(port, t, 2, Direction::Read, 0, 1);
  }
  const std::uint16_t value = t.device != nullptr ? t.device->read16(t.offset) : 0xFFFF;
  if (tracing_) {
    trace_.back().value = value;
  }
  accessed();
  return value;
}

void IoBus::write8(PortAddress port, std::uint8_t value) {
  const Target t = decode(port);
  if (tracing_) {
    record(port, t, 1, Direction::Write, value, 1);
  }
  if (t.device != nullptr) {
    t.device->write8(t.offset, value);
  }
  accessed();
}

void IoBus::write16(PortAddress port, std::uint16_t value) {
  const Target t = decode(port);
  if (tracing_) {
    record(port, t, 2, Direction::Write, value, 1);
  }
  if (t.device != nullptr) {
    t.device->write16(t.offset, value);
  }
  accessed();
}

void IoBus::readString8(PortAddress port, std::span<std::uint8_t> bytes) {
  const Target t = decode(port);
  if (tracing_) {
    record(port, t, 1, Direction::Read, 0, static_cast<std::uint32_t>(bytes.size()));
  }
  if (t.device != nullptr) {
    t.device->readString8(t.offset, bytes);
  } else {
    std::fill(bytes.begin(), bytes.end(), kFloatingByte);
  }
  if (tracing_ && !bytes.empty()) {
    trace_.back().value = bytes[0];
  }
  accessed();
}

void IoBus::readString16(PortAddress port, std::span<std::uint8_t> bytes) {
  const Target t = decode(port);
  if (tracing_) {
    record(port, t, 2, Direction::Read, 0, static_cast<std::uint32_t>(bytes.size() / 2));
  }
  if (t.device != nullptr) {
    t.device->readString16(t.offset, bytes);
  } else {
    std::fill(bytes.begin(), bytes.end(), kFloatingByte);
  }
  if (tracing_ && bytes.size() >= 2) {
    trace_.back().value = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
  }
  accessed();
}

void IoBus::writeString8(PortAddress port, std::span<const std::uint8_t> bytes) {
  const Target t = decode(port);
  if (tracing_) {
    record(port, t, 1, Direction::Write, bytes.empty() ? 0 : bytes[0],
           static_cast<std::uint32_t>(bytes.size()));
  }
  if (t.device != nullptr) {
    t.device->writeString8(t.offset, bytes);
  }
  accessed();
}

void IoBus::writeString16(PortAddress port, std::span<const std::uint8_t> bytes) {
  const Target t = decode(port);
  if (tracing_) {
    const std::uint16_t first =
        bytes.size() >= 2 ? static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)) : 0;
    record(port, t, 2, Direction::Write, first, static_cast<std::uint32_t>(bytes.size() / 2));
  }
  if (t.device != nullptr) {
    t.device->writeString16(t.offset, bytes);
  }
  accessed();
}

}  // namespace kl::sim
