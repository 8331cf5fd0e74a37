#include "kavrel/domain/error/error.hpp"

#include <charconv>
#include <cstdio>
#include <cmath>
#include <type_traits>

namespace kavrel::domain::error {

namespace {

std::string format_seq(const Dims& d) { return format_dims(d.data(), d.size()); }

// NaN and the infinities are spelled the same in every numeric form.
bool special(double v, std::string& out) {
    if (std::isnan(v)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out = v > 0 ? "inf" : "-inf";
        return true;
    }
    return false;
}

}  // namespace

std::string format_dims(const std::uint64_t* values, std::size_t count) {
    std::string out = "[";
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out += ", ";
        out += format_decimal(values[i]);
    }
    out += ']';
    return out;
}

std::string format_scientific(double value) {
    std::string out;
    if (special(value, out)) return out;
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    (void)ec;
    std::string_view s(buf, static_cast<std::size_t>(end - buf));
    auto e = s.find('e');
    out.assign(s.substr(0, e));
    out += 'e';
    std::string_view exp = s.substr(e + 1);
    if (!exp.empty() && exp[0] == '-') {
        out += '-';
        exp.remove_prefix(1);
    } else if (!exp.empty() && exp[0] == '+') {
        exp.remove_prefix(1);
    }
    while (exp.size() > 1 && exp[0] == '0') exp.remove_prefix(1);
    out += exp;
    return out;
}

std::string format_plain(double value) {
    std::string out;
    if (special(value, out)) return out;
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    (void)ec;
    out.assign(buf, end);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

std::string format_quoted(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out += hex[c >> 4];
                    out += hex[c & 0xf];
                    out += '}';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string display(const KavrelError& error) {
    return std::visit(
        [](const auto& e) -> std::string {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, OutOfBounds>) {
                return "Index out of bounds: index " + format_seq(e.index) + ", shape " + format_seq(e.shape);
            } else if constexpr (std::is_same_v<E, IncompatibleSlice>) {
                return "Incompatible slice: range (" + format_decimal(e.range.first) + ", " + format_decimal(e.range.second) +
                       "), shape " + format_seq(e.shape);
            } else if constexpr (std::is_same_v<E, ShapeMismatch>) {
                return "Shape mismatch: lhs " + format_seq(e.lhs) + ", rhs " + format_seq(e.rhs);
            } else if constexpr (std::is_same_v<E, IncompatibleBroadcast>) {
                return "Incompatible broadcast: from " + format_seq(e.from) + " to " + format_seq(e.to);
            } else if constexpr (std::is_same_v<E, Overflow>) {
                return std::string("Arithmetic overflow in layout calculations: ") + e.reason;
            } else if constexpr (std::is_same_v<E, StorageError>) {
                return "Storage error: " + e.text;
            } else if constexpr (std::is_same_v<E, ConvergenceError>) {
                return "Solver did not converge after " + format_decimal(e.max_iters) + " iterations (residual " +
                       format_scientific(e.residual) + ", tolerance " + format_scientific(e.tol) + ")";
            } else if constexpr (std::is_same_v<E, CountRange>) {
                return "Element count conversion failed";
            } else if constexpr (std::is_same_v<E, InvalidInput>) {
                return "Invalid input: " + e.text;
            } else if constexpr (std::is_same_v<E, NumericalBreakdown>) {
                return "Numerical breakdown: " + e.text;
            } else {
                return "Matrix is not positive definite: " + e.detail;
            }
        },
        error);
}

std::string debug(const KavrelError& error) {
    return std::visit(
        [](const auto& e) -> std::string {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, OutOfBounds>) {
                return "OutOfBounds { index: " + format_seq(e.index) + ", shape: " + format_seq(e.shape) + " }";
            } else if constexpr (std::is_same_v<E, IncompatibleSlice>) {
                return "IncompatibleSlice { range: (" + format_decimal(e.range.first) + ", " + format_decimal(e.range.second) +
                       "), shape: " + format_seq(e.shape) + " }";
            } else if constexpr (std::is_same_v<E, ShapeMismatch>) {
                return "ShapeMismatch { lhs: " + format_seq(e.lhs) + ", rhs: " + format_seq(e.rhs) + " }";
            } else if constexpr (std::is_same_v<E, IncompatibleBroadcast>) {
                return "IncompatibleBroadcast { from: " + format_seq(e.from) + ", to: " + format_seq(e.to) + " }";
            } else if constexpr (std::is_same_v<E, Overflow>) {
                return "Overflow { reason: " + format_quoted(e.reason) + " }";
            } else if constexpr (std::is_same_v<E, StorageError>) {
                return "StorageError(" + format_quoted(e.text) + ")";
            } else if constexpr (std::is_same_v<E, ConvergenceError>) {
                return "ConvergenceError { max_iters: " + format_decimal(e.max_iters) + ", residual: " + format_plain(e.residual) +
                       ", tol: " + format_plain(e.tol) + " }";
            } else if constexpr (std::is_same_v<E, CountRange>) {
                return "CountRange(CountRangeError { count: " + format_decimal(e.error.count) +
                       ", target: " + format_quoted(e.error.target) + " })";
            } else if constexpr (std::is_same_v<E, InvalidInput>) {
                return "InvalidInput(" + format_quoted(e.text) + ")";
            } else if constexpr (std::is_same_v<E, NumericalBreakdown>) {
                return "NumericalBreakdown(" + format_quoted(e.text) + ")";
            } else {
                return "NotPositiveDefinite { detail: " + format_quoted(e.detail) + " }";
            }
        },
        error);
}

void fail_invariant(std::string_view message) { throw InternalError(std::string(message)); }

std::string_view message_of(const std::exception& e) noexcept {
    if (const auto* internal = dynamic_cast<const InternalError*>(&e)) return internal->message();
    return e.what();
}

void write_to_stderr(std::string_view message) noexcept {
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void fail_unexpected(std::string_view context, const KavrelError& error) {
    std::string message(context);
    message += ": ";
    message += debug(error);
    throw InternalError(std::move(message));
}

}  // namespace kavrel::domain::error
