// result.h: what a step of the program's lower layers (system/ and the
// report library) gives: its value, or the trouble that stopped it (how the
// layers report failure: see exit_codes.h).
#ifndef TARVELO_TOOLS_SYSTEM_RESULT_H
#define TARVELO_TOOLS_SYSTEM_RESULT_H

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tarvelo::tool {

// Why a step failed, as far as a caller must tell the causes apart.
enum class cause {
    unusable, // a file or a setting the user named cannot be used
    refused,  // a file is there, but not one the rules for reading it allow
    system,   // the system failed the program: a pipe, a thread, a file beside another
};

struct trouble {
    cause why;
    std::string message; // what failed, in the user's words; names escaped
};

// The value of a step that succeeded, or the trouble that stopped it.
template <typename T> class [[nodiscard]] result {
public:
    result(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
    result(trouble t) : outcome_(std::in_place_index<1>, std::move(t)) {}

    explicit operator bool() const { return outcome_.index() == 0; }
    T &operator*() { return *std::get_if<0>(&outcome_); }
    const T &operator*() const { return *std::get_if<0>(&outcome_); }
    T *operator->() { return std::get_if<0>(&outcome_); }
    const T *operator->() const { return std::get_if<0>(&outcome_); }
    // Only when the step failed.
    const trouble &error() const { return *std::get_if<1>(&outcome_); }
    // The value, or `fallback` when the step failed: for a caller to whom
    // the failure means nothing more than no value.
    T value_or(T fallback) && { return *this ? std::move(**this) : std::move(fallback); }

private:
    std::variant<T, trouble> outcome_;
};

// A step that gives nothing but may fail.
template <> class [[nodiscard]] result<void> {
public:
    result() = default;
    result(trouble t) : trouble_(std::move(t)) {}

    explicit operator bool() const { return !trouble_; }
    const trouble &error() const { return *trouble_; }

private:
    std::optional<trouble> trouble_;
};

} // namespace tarvelo::tool

#endif
