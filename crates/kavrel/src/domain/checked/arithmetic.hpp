// Overflow-checked integer arithmetic for every library of the project: sums, products and
// multiply-adds computed exactly and handed back only when the result fits its type, whether a
// run ends inside its storage, the magnitude of a signed stride, and a product that saturates. Callers chain them with early
// returns, never with multi-clause conditions.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

#include "kavrel/domain/error/error.hpp"

namespace kavrel::domain::checked {

// The standard integer types and the 128-bit pair, which strict modes leave out of std::integral.
template <class T>
concept Integer = std::integral<T> || std::same_as<T, __int128> || std::same_as<T, unsigned __int128>;

namespace detail {
// R, or the operands' common type when R is void.
template <class R, class A, class B>
using result_t = std::conditional_t<std::is_void_v<R>, std::common_type_t<A, B>, R>;
}  // namespace detail

// a + b computed exactly, when it fits R (by default the operands' common type); the operands
// may be of different signedness.
template <class R = void, Integer A, Integer B>
[[nodiscard]] constexpr std::optional<detail::result_t<R, A, B>> add(A a, B b) noexcept {
    detail::result_t<R, A, B> r{};
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// a − b, the same way.
template <class R = void, Integer A, Integer B>
[[nodiscard]] constexpr std::optional<detail::result_t<R, A, B>> sub(A a, B b) noexcept {
    detail::result_t<R, A, B> r{};
    if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// a·b, the same way.
template <class R = void, Integer A, Integer B>
[[nodiscard]] constexpr std::optional<detail::result_t<R, A, B>> mul(A a, B b) noexcept {
    detail::result_t<R, A, B> r{};
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// a·b + c, the product and the sum each required to fit R.
template <class R = void, Integer A, Integer B, Integer C>
[[nodiscard]] constexpr std::optional<detail::result_t<R, A, B>> mul_add(A a, B b, C c) noexcept {
    const auto product = mul<R>(a, b);
    if (!product) return std::nullopt;
    return add<detail::result_t<R, A, B>>(*product, c);
}

// Whether the run [start, start + count) ends at or before limit, the end computed exactly.
[[nodiscard]] constexpr bool ends_within(std::uint64_t start, std::uint64_t count, std::uint64_t limit) noexcept {
    const auto end = add(start, count);
    if (!end) return false;
    return *end <= limit;
}

// |s| as an unsigned count, exact for the most negative value too.
[[nodiscard]] constexpr std::uint64_t magnitude(std::int64_t s) noexcept {
    return s < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(s) : static_cast<std::uint64_t>(s);
}

// a·b, or the largest value when it does not fit: for estimates where "too large" is all that
// matters.
[[nodiscard]] constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    return mul(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}

// The value of a checked step that cannot fail short of a broken invariant, which the text names.
template <class T>
T expect(std::optional<T> value, std::string_view invariant) {
    if (!value) error::fail_invariant(invariant);
    return *value;
}

}  // namespace kavrel::domain::checked
