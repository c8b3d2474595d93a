#pragma once

#include <functional>
#include <utility>

class TObject;

// A method pointer with its receiver; the sender is the first argument.
// An unassigned event does nothing when called and reports false from Assigned().
template <class Signature>
class TEvent;

template <class R, class... Args>
class TEvent<R(Args...)> {
public:
    TEvent() = default;

    template <class F, class = std::enable_if_t<std::is_invocable_r_v<R, F&, Args...> &&
                                                !std::is_same_v<std::decay_t<F>, TEvent>>>
    TEvent(F handler) : handler_(std::move(handler)) {}

    template <class C>
    TEvent(C* receiver, R (C::*method)(Args...))
        : handler_([receiver, method](Args... args) -> R {
              return (receiver->*method)(std::forward<Args>(args)...);
          }) {}

    bool Assigned() const { return static_cast<bool>(handler_); }
    explicit operator bool() const { return Assigned(); }

    R operator()(Args... args) const {
        if (!handler_) {
            if constexpr (std::is_void_v<R>)
                return;
            else
                return R{};
        }
        return handler_(std::forward<Args>(args)...);
    }

private:
    std::function<R(Args...)> handler_;
};

using TNotifyEvent = TEvent<void(TObject* Sender)>;
