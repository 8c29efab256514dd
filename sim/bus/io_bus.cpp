#include "sim/bus/io_bus.h"

#include <algorithm>

#include "sim/core/bytes.h"

namespace kl::sim {

bool IoBus::attach(PortAddress base, std::uint32_t length, IoDevice& device) {
  const bool overlaps = std::any_of(mappings_.begin(), mappings_.end(), [&](const Mapping& m) {
    return base < m.base + m.length && m.base < base + length;
  });
  if (overlaps || length == 0) {
    return false;
  }
  mappings_.push_back(Mapping{base, length, &device});
  lastHit_ = nullptr;
  return true;
}

void IoBus::detach(const IoDevice& device) {
  std::erase_if(mappings_, [&](const Mapping& m) { return m.device == &device; });
  lastHit_ = nullptr;
}

IoBus::Target IoBus::decodeAnew(PortAddress port) const {
  const auto it = std::find_if(mappings_.begin(), mappings_.end(),
                               [port](const Mapping& m) { return port - m.base < m.length; });
  if (it == mappings_.end()) {
    return Target{nullptr, 0};
  }
  lastHit_ = &*it;
  return Target{lastHit_->device, static_cast<std::uint16_t>(port - lastHit_->base)};
}

void IoBus::record(PortAddress port, const Target& target, std::uint8_t width, Direction direction,
                   std::uint32_t count) {
  trace_.push_back(PortAccess{
      .time = clock_.now(),
      .port = port,
      .offset = target.offset,
      .width = width,
      .direction = direction,
      .count = count,
      .name = target.device != nullptr ? target.device->registerName(target.offset, direction)
                                       : std::string_view{},
  });
}

void IoBus::accessed(std::uint8_t width, std::uint32_t count) const {
  if (observer_) {
    const Duration cycle = width == 1 ? cycleTimes_.byteCycle : cycleTimes_.wordCycle;
    observer_(cycle * static_cast<std::int64_t>(count));
  }
}

// Decodes the port, records the access if tracing (the register name is taken
// before the access: the access itself may change what the offset reaches, a
// write of the page-select bits for one), lets `operation` perform it, and
// looks at the interrupt lines afterwards. `operation` returns the value to
// trace: the one read, or the first element moved.
template <class Operation>
void IoBus::perform(PortAddress port, std::uint8_t width, Direction direction, std::uint32_t count,
                    Operation operation) {
  const Target target = decode(port);
  ++accesses_;
  if (tracing_) {
    record(port, target, width, direction, count);
  }
  const std::uint16_t traced = operation(target);
  if (tracing_) {
    trace_.back().value = traced;
  }
  accessed(width, count);
}

std::uint8_t IoBus::read8(PortAddress port) {
  std::uint8_t value = kFloatingByte;
  perform(port, 1, Direction::Read, 1, [&](const Target& t) {
    if (t.device != nullptr) {
      value = t.device->read8(t.offset);
    }
    return value;
  });
  return value;
}

std::uint16_t IoBus::read16(PortAddress port) {
  std::uint16_t value = makeWord(kFloatingByte, kFloatingByte);
  perform(port, 2, Direction::Read, 1, [&](const Target& t) {
    if (t.device != nullptr) {
      value = t.device->read16(t.offset);
    }
    return value;
  });
  return value;
}

void IoBus::write8(PortAddress port, std::uint8_t value) {
  perform(port, 1, Direction::Write, 1, [&](const Target& t) {
    if (t.device != nullptr) {
      t.device->write8(t.offset, value);
    }
    return value;
  });
}

void IoBus::write16(PortAddress port, std::uint16_t value) {
  perform(port, 2, Direction::Write, 1, [&](const Target& t) {
    if (t.device != nullptr) {
      t.device->write16(t.offset, value);
    }
    return value;
  });
}

void IoBus::readString8(PortAddress port, std::span<std::uint8_t> bytes) {
  perform(port, 1, Direction::Read, static_cast<std::uint32_t>(bytes.size()),
          [&](const Target& t) -> std::uint16_t {
            if (t.device != nullptr) {
              t.device->readString8(t.offset, bytes);
            } else {
              std::fill(bytes.begin(), bytes.end(), kFloatingByte);
            }
            return bytes.empty() ? 0 : bytes[0];
          });
}

void IoBus::readString16(PortAddress port, std::span<std::uint8_t> bytes) {
  perform(port, 2, Direction::Read, static_cast<std::uint32_t>(bytes.size() / 2),
          [&](const Target& t) -> std::uint16_t {
            if (t.device != nullptr) {
              t.device->readString16(t.offset, bytes);
            } else {
              std::fill(bytes.begin(), bytes.end(), kFloatingByte);
            }
            return bytes.size() >= 2 ? wordAt(bytes) : 0;
          });
}

void IoBus::writeString8(PortAddress port, std::span<const std::uint8_t> bytes) {
  perform(port, 1, Direction::Write, static_cast<std::uint32_t>(bytes.size()),
          [&](const Target& t) -> std::uint16_t {
            if (t.device != nullptr) {
              t.device->writeString8(t.offset, bytes);
            }
            return bytes.empty() ? 0 : bytes[0];
          });
}

void IoBus::writeString16(PortAddress port, std::span<const std::uint8_t> bytes) {
  perform(port, 2, Direction::Write, static_cast<std::uint32_t>(bytes.size() / 2),
          [&](const Target& t) -> std::uint16_t {
            if (t.device != nullptr) {
              t.device->writeString16(t.offset, bytes);
            }
            return bytes.size() >= 2 ? wordAt(bytes) : 0;
          });
}

}  // namespace kl::sim
