#pragma once

#include <utility>
#include <variant>

namespace ov {

// A value or an error. Errors are values everywhere below the Python boundary.
template <class T, class E>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const E& error() const { return std::get<1>(state_); }
    E&& take_error() { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

}  // namespace ov
