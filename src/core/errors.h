// Error kinds of the engine. Engine code never sees Python: a broken rule is a
// RuleError (the boundary raises ValueError with its text), a broken internal
// invariant is a Fault (the boundary raises PanicException).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace tidemark {

struct RuleError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Fault : std::logic_error {
    using std::logic_error::logic_error;
};

// Equality-assertion failure in the usual "left/right" form.
[[noreturn]] inline void fail_assert_eq(const char* what, uint64_t left, uint64_t right) {
    throw Fault(std::string("assertion `left == right` failed: ") + what + "\n  left: " +
                std::to_string(left) + "\n right: " + std::to_string(right));
}

[[noreturn]] inline void fail_index(std::size_t len, std::size_t index) {
    throw Fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

// Bounds-checked element read for columns whose length was not validated up
// front: a short column stops the run with a fault instead of reading past it.
template <class V>
inline auto at_checked(const V& v, std::size_t i) -> decltype(v[i]) {
    if (i >= v.size()) fail_index(v.size(), i);
    return v[i];
}

// Columns read together by one row index must have one length; anything else
// would read past the shorter one.
inline void require_same_length(std::size_t n, std::initializer_list<std::size_t> others) {
    for (std::size_t m : others)
        if (m != n) throw RuleError("all input arrays must share one length");
}

// A value or an error, for operations whose failures are ordinary values.
template <class T, class E>
class Outcome {
public:
    Outcome(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Outcome(E error) : v_(std::in_place_index<1>, std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    E& error() { return std::get<1>(v_); }
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace tidemark
