// The chance in a simulated world: every random decision the world's devices
// make (a MAC's collision backoff, for one) is drawn from this one seeded
// generator, so a run is reproduced by its seed.
#pragma once

#include <cstdint>
#include <random>

namespace kl::sim {

class WorldRandom {
 public:
  static constexpr std::uint64_t kDefaultSeed = 7046;

  explicit WorldRandom(std::uint64_t seed = kDefaultSeed) : seed_(seed), engine_(seed) {}
  WorldRandom(const WorldRandom&) = delete;
  WorldRandom& operator=(const WorldRandom&) = delete;
  ~WorldRandom() = default;

  // Starts the sequence afresh from `seed`.
  void reseed(std::uint64_t seed) {
    seed_ = seed;
    engine_.seed(seed);
  }
  [[nodiscard]] std::uint64_t seed() const { return seed_; }

  // A whole number from 0 to `bound` - 1, each as likely as the others.
  std::uint64_t below(std::uint64_t bound) {
    return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(engine_);
  }

 private:
  std::uint64_t seed_;
  std::mt19937_64 engine_;
};

}  // namespace kl::sim
