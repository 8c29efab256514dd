// A move-only callable kept inside the object itself: holding one never
// allocates. What it holds must fit its capacity, which the compiler checks;
// a capture list too long for it is a compile error, not a silent trip to
// the heap.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace kl::sim {

template <class Signature, std::size_t Capacity>
class InlineFunction;

template <class R, class... Args, std::size_t Capacity>
class InlineFunction<R(Args...), Capacity> {
 public:
  InlineFunction() = default;

  // Implicit, as std::function's; the constraint keeps it off the move
  // constructor's arguments.
  template <class F>
  requires(!std::is_same_v<std::decay_t<F>, InlineFunction> &&
           std::is_invocable_r_v<R, std::decay_t<F>&, Args...>)
      // NOLINTNEXTLINE(google-explicit-constructor,bugprone-forwarding-reference-overload)
      InlineFunction(F&& callable) {
    using Held = std::decay_t<F>;
    static_assert(sizeof(Held) <= Capacity,
                  "the callable captures more than an inline function holds; capture less");
    static_assert(alignof(Held) <= alignof(void*),
                  "an inline function holds nothing aligned wider than a pointer");
    ::new (static_cast<void*>(storage_)) Held(std::forward<F>(callable));
    ops_ = &kOps<Held>;
  }

  InlineFunction(InlineFunction&& other) noexcept { takeFrom(other); }
  InlineFunction& operator=(InlineFunction&& other) noexcept {
    if (this != &other) {
      reset();
      takeFrom(other);
    }
    return *this;
  }
  InlineFunction(const InlineFunction&) = delete;
  InlineFunction& operator=(const InlineFunction&) = delete;
  ~InlineFunction() { reset(); }

  [[nodiscard]] explicit operator bool() const { return ops_ != nullptr; }
  R operator()(Args... arguments) { return ops_->call(storage_, std::forward<Args>(arguments)...); }

  void reset() {
    if (ops_ != nullptr) {
      ops_->destroy(storage_);
      ops_ = nullptr;
    }
  }

 private:
  struct Ops {
    R (*call)(void* held, Args&&... arguments);
    void (*moveTo)(void* from, void* to);  // and destroys `from`
    void (*destroy)(void* held);
  };

  template <class Held>
  static constexpr Ops kOps = {
      [](void* held, Args&&... arguments) -> R {
        return (*static_cast<Held*>(held))(std::forward<Args>(arguments)...);
      },
      [](void* from, void* to) {
        ::new (to) Held(std::move(*static_cast<Held*>(from)));
        static_cast<Held*>(from)->~Held();
      },
      [](void* held) { static_cast<Held*>(held)->~Held(); },
  };

  void takeFrom(InlineFunction& other) {
    if (other.ops_ != nullptr) {
      other.ops_->moveTo(other.storage_, storage_);
      ops_ = std::exchange(other.ops_, nullptr);
    }
  }

  alignas(void*) std::byte storage_[Capacity];
  const Ops* ops_ = nullptr;
};

}  // namespace kl::sim
