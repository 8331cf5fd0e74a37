#include "kavrel/domain/error/error.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using namespace kavrel::domain::error;

struct TextCase {
    KavrelError error;
    const char* display;
    const char* debug;
};

TEST(ErrorTest, DisplayAndDebugOfEveryVariant) {
    const TextCase cases[] = {
        {OutOfBounds{{1, 3}, {2, 3}}, "Index out of bounds: index [1, 3], shape [2, 3]",
         "OutOfBounds { index: [1, 3], shape: [2, 3] }"},
        {IncompatibleSlice{{2, 9}, {4}}, "Incompatible slice: range (2, 9), shape [4]",
         "IncompatibleSlice { range: (2, 9), shape: [4] }"},
        {ShapeMismatch{{}, {7}}, "Shape mismatch: lhs [], rhs [7]", "ShapeMismatch { lhs: [], rhs: [7] }"},
        {IncompatibleBroadcast{{2, 3}, {4, 3}}, "Incompatible broadcast: from [2, 3] to [4, 3]",
         "IncompatibleBroadcast { from: [2, 3], to: [4, 3] }"},
        {Overflow{"layout shape product"}, "Arithmetic overflow in layout calculations: layout shape product",
         "Overflow { reason: \"layout shape product\" }"},
        {StorageError{"say \"hi\"\n"}, "Storage error: say \"hi\"\n", "StorageError(\"say \\\"hi\\\"\\n\")"},
        {ConvergenceError{30, 0.000125, 1e-12},
         "Solver did not converge after 30 iterations (residual 1.25e-4, tolerance 1e-12)",
         "ConvergenceError { max_iters: 30, residual: 0.000125, tol: 0.000000000001 }"},
        {CountRange{{18446744073709551615ull, "usize"}}, "Element count conversion failed",
         "CountRange(CountRangeError { count: 18446744073709551615, target: \"usize\" })"},
        {InvalidInput{"x"}, "Invalid input: x", "InvalidInput(\"x\")"},
        {NumericalBreakdown{"singular"}, "Numerical breakdown: singular", "NumericalBreakdown(\"singular\")"},
        {NotPositiveDefinite{"pivot 2"}, "Matrix is not positive definite: pivot 2",
         "NotPositiveDefinite { detail: \"pivot 2\" }"},
    };
    for (std::size_t tag = 0; tag < std::size(cases); ++tag) {
        SCOPED_TRACE(cases[tag].display);
        EXPECT_EQ(cases[tag].error.index(), tag);  // declaration order is the tag
        EXPECT_EQ(display(cases[tag].error), cases[tag].display);
        EXPECT_EQ(debug(cases[tag].error), cases[tag].debug);
    }
}

TEST(ErrorTest, ScientificForm) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.000125, "1.25e-4"},
        {1.0, "1e0"},
        {2500.0, "2.5e3"},
        {-0.1, "-1e-1"},
        {0.1 + 0.2, "3.0000000000000004e-1"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {0.0, "0e0"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(format_scientific(c.value), c.text);
    }
}

// The float64 fields of the debug form: shortest plain decimal, never an exponent.
TEST(ErrorTest, PlainForm) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.000125, "0.000125"},
        {30.0, "30.0"},
        {1e-12, "0.000000000001"},
        {1e21, "1000000000000000000000.0"},
        {-0.0, "-0.0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(format_plain(c.value), c.text);
    }
}

// The texts of every debug form, here and in the executor's errors.
TEST(ErrorTest, QuotedForm) {
    using namespace std::string_view_literals;
    const struct {
        std::string_view text;
        const char* quoted;
    } cases[] = {
        {"", "\"\""},
        {"plain text", "\"plain text\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\n\r\t", "\"\\n\\r\\t\""},
        {"\x01\x1f\x7f"sv, "\"\\u{1}\\u{1f}\\u{7f}\""},
        {"nul\0end"sv, "\"nul\\u{0}end\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.quoted);
        EXPECT_EQ(format_quoted(c.text), c.quoted);
    }
}

TEST(ErrorTest, UnexpectedErrorMessageCarriesDebugForm) {
    try {
        fail_unexpected("layout shape product must fit in usize", KavrelError(Overflow{"layout shape product"}));
        FAIL() << "no throw";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "layout shape product must fit in usize: Overflow { reason: \"layout shape product\" }");
    }
    EXPECT_THROW(fail_invariant("invariant: x"), InternalError);
    EXPECT_EQ(expect(Result<int>(4), "ctx"), 4);
}

// A text with NUL characters, as one built from a Python exception's may be: what() ends at the
// first, the message and its report keep the whole.
TEST(InternalErrorTest, WholeTextWithNulCharacters) {
    const std::string text("invariant: a\0b\0", 15);
    const InternalError e(text);
    EXPECT_STREQ(e.what(), "invariant: a");
    EXPECT_EQ(e.message(), text);
    EXPECT_EQ(kavrel::domain::error::message_of(e), text);
    const std::runtime_error other("plain");
    EXPECT_EQ(kavrel::domain::error::message_of(other), "plain");
    testing::internal::CaptureStderr();
    kavrel::domain::error::write_to_stderr(e.message());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), text + "\n");
}

}  // namespace
