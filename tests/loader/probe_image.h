// Where the probe images are, and their bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kl::test {

inline std::filesystem::path probeImage(const std::string& name) {
  return std::filesystem::path(KL_PROBE_IMAGE_DIR) / (name + ".sys");
}

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& file);

}  // namespace kl::test
