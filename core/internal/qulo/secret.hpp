// The one rule for secrets, kept by one type: a copy of key words or round
// sums lives in a Secret, which clears it when it goes out of scope, however
// the scope is left, with the one wipe (qulo/wipe.hpp, which qulo_wipe is
// too). Not installed.
#pragma once

#include "qulo/wipe.hpp"

#include <type_traits>
#include <utility>

namespace qulo {

template <class T>
class Secret {
    static_assert(std::is_trivially_destructible_v<T>,
                  "a secret is plain bytes: nothing may run after it is cleared");

public:
    template <class... Args>
    explicit Secret(Args &&...args) : value_{std::forward<Args>(args)...} {}
    // From what `make` returns, built in place: a value made by a call and
    // passed to the constructor above would first land in a temporary of its
    // own, a copy nothing clears.
    template <class Make>
    Secret(std::in_place_t, Make &&make) : value_(std::forward<Make>(make)()) {}
    ~Secret() { wipe(&value_, sizeof value_); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    T &operator*() { return value_; }
    const T &operator*() const { return value_; }
    T *operator->() { return &value_; }
    const T *operator->() const { return &value_; }

private:
    T value_;
};

}  // namespace qulo
