#pragma once
// A non-owning reference to a callable: lets hot paths accept callbacks
// without std::function's possible heap allocation.

#include <type_traits>
#include <utility>

namespace tarnwick::kit {

template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
public:
    template <typename F,
              typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef> &&
                                          std::is_invocable_r_v<R, F&, Args...>>>
    FunctionRef(F&& f) noexcept  // NOLINT(google-explicit-constructor)
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace tarnwick::kit
