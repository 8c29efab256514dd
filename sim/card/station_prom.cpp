#include "sim/card/station_prom.h"

#include <algorithm>

namespace kl::sim::card {

namespace {

constexpr std::size_t kSignatureOffset = 28;
constexpr std::uint8_t kWordWideSignature = 0x57;  // 'W'
constexpr std::uint8_t kByteWideSignature = 0x42;  // 'B'

}  // namespace

PromImage wordWidePromImage(const MacAddress& station) {
  std::array<std::uint8_t, kPromImageSize / 2> prom{};
  std::copy(station.begin(), station.end(), prom.begin());
  prom[kSignatureOffset / 2] = kWordWideSignature;

  PromImage image{};
  for (std::size_t i = 0; i < prom.size(); ++i) {
    image[2 * i] = prom[i];
    image[2 * i + 1] = prom[i];
  }
  return image;
}

PromImage byteWidePromImage(const MacAddress& station) {
  PromImage image{};
  std::copy(station.begin(), station.end(), image.begin());
  image[kSignatureOffset] = kByteWideSignature;
  image[kSignatureOffset + 1] = kByteWideSignature;
  return image;
}

PromImage erasedPromImage() {
  PromImage image;
  image.fill(0xFF);
  return image;
}

}  // namespace kl::sim::card
