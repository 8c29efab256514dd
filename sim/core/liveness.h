// Lets the callbacks an object leaves on the clock find out, when they fire,
// whether the object is still there, so that neither the object nor the
// clock has to outlive the other.
#pragma once

#include <memory>
#include <utility>

namespace kl::sim {

class Liveness {
 public:
  Liveness() = default;
  Liveness(const Liveness&) = delete;
  Liveness& operator=(const Liveness&) = delete;
  ~Liveness() = default;

  // `callback`, made to do nothing once this object is gone.
  template <class Callback>
  [[nodiscard]] auto guard(Callback callback) const {
    return [alive = std::weak_ptr<const char>(token_),
            callback = std::move(callback)](auto&&... arguments) mutable {
      if (!alive.expired()) {
        callback(std::forward<decltype(arguments)>(arguments)...);
      }
    };
  }

 private:
  std::shared_ptr<const char> token_ = std::make_shared<const char>();
};

}  // namespace kl::sim
