// The one error type of the array library and of every operation built on it, with its
// fixed display texts (what a Python user reads in a ValueError) and its debug form
// (used only inside internal-error messages). Also the internal-error exception that a
// broken invariant throws, and the `Result` alias every fallible function returns.
#pragma once

#include <cstdint>
#include <exception>
#include <charconv>
#include <concepts>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fennick/traits/count.hpp"

namespace kavrel::domain::error {

using Dims = std::vector<std::uint64_t>;

struct OutOfBounds {
    Dims index;
    Dims shape;
};
struct IncompatibleSlice {
    std::pair<std::uint64_t, std::uint64_t> range;
    Dims shape;
};
struct ShapeMismatch {
    Dims lhs;
    Dims rhs;
};
struct IncompatibleBroadcast {
    Dims from;
    Dims to;
};
struct Overflow {
    const char* reason;  // static text naming the computation
};
struct StorageError {
    std::string text;
};
struct ConvergenceError {
    std::uint64_t max_iters;
    double residual;
    double tol;
};
struct CountRange {
    fennick::traits::count::CountRangeError error;
};
struct InvalidInput {
    std::string text;
};
struct NumericalBreakdown {
    std::string text;
};
struct NotPositiveDefinite {
    std::string detail;
};

// The tag of a variant is its index here; the order is fixed.
using KavrelError = std::variant<OutOfBounds, IncompatibleSlice, ShapeMismatch, IncompatibleBroadcast, Overflow,
                                 StorageError, ConvergenceError, CountRange, InvalidInput, NumericalBreakdown,
                                 NotPositiveDefinite>;

template <class T>
using Result = std::expected<T, KavrelError>;

// Shorthands for the failing side of a Result.
inline std::unexpected<KavrelError> overflow(const char* reason) { return std::unexpected(KavrelError(Overflow{reason})); }
inline std::unexpected<KavrelError> storage_error(std::string text) {
    return std::unexpected(KavrelError(StorageError{std::move(text)}));
}

// Display text, exactly as the Python user sees it.
std::string display(const KavrelError& error);
// Debug form: Overflow { reason: "layout shape product" }, StorageError("...").
std::string debug(const KavrelError& error);

// Text helpers shared by the messages of the whole system.
// 42, -7: the one decimal form of an integer in every message.
template <std::integral I>
std::string format_decimal(I value) {
    char digits[24];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}
std::string format_dims(const std::uint64_t* values, std::size_t count);  // [2, 3]
std::string format_scientific(double value);                              // 1.25e-4
std::string format_plain(double value);                                   // 0.000125
// In double quotes, with quotes, backslashes and control characters escaped: "a\"b\n".
std::string format_quoted(std::string_view text);

// A broken internal invariant. Caught only at the Python boundary and where the executor
// runs a chunk.
class InternalError : public std::exception {
public:
    explicit InternalError(std::string message) : message_(std::move(message)) {}
    // The text up to its first NUL character, as every const char* reader sees it.
    const char* what() const noexcept override { return message_.c_str(); }
    // The whole text: one built from a Python exception's text may hold NUL characters.
    std::string_view message() const noexcept { return message_; }

private:
    std::string message_;
};

// The whole text of an exception caught where it must be reported: an InternalError's message
// with its length, what() for any other.
[[nodiscard]] std::string_view message_of(const std::exception& e) noexcept;
// `message` and a newline on standard error, NUL characters included, then flushed: the one way
// an escaping internal error is reported.
void write_to_stderr(std::string_view message) noexcept;

[[noreturn]] void fail_invariant(std::string_view message);
// An error value the caller had ruled out: "<context>: <debug form>".
[[noreturn]] void fail_unexpected(std::string_view context, const KavrelError& error);

template <class T>
T expect(Result<T>&& result, std::string_view context) {
    if (!result) fail_unexpected(context, result.error());
    return std::move(*result);
}
inline void expect(Result<void>&& result, std::string_view context) {
    if (!result) fail_unexpected(context, result.error());
}

}  // namespace kavrel::domain::error
