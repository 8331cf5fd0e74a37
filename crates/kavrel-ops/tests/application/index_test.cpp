#include "kavrel_ops/application/index.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel/domain/layout/layout.hpp"

namespace {

using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::display;
using kavrel::domain::layout::Layout;
using kavrel_ops::application::index::validate_mutable_output;

const std::string shared_text =
    " output must exclusively own its storage window (interleaved iterator-yielded sub-views are rejected)";
const std::string aliasing_text = " output layout must be injective (no aliasing)";

struct OutputCase {
    const char* name;
    Layout<2> layout;
    std::uint64_t storage_len;
    std::uint8_t window_shared;
    std::string expected;  // display text with the label "binary map"; empty: success
};

// The storage error of a layout that reaches past its buffer, as the layout kernels word it.
std::string storage_text(const Layout<2>& l, std::uint64_t len) {
    auto r = kavrel::domain::layout::kernels::validate_storage(l.shape, l.strides, l.offset, len);
    return r ? std::string("(fits)") : display(r.error());
}

TEST(ValidateMutableOutputTest, ChecksInOrderWithTheirTexts) {
    const Layout<2> beyond{{2, 3}, {3, 1}, 1};  // reaches index 6 of 6 elements
    const Layout<2> rows_alias{{2, 3}, {0, 1}, 0};
    const std::vector<OutputCase> cases = {
        {"row-major fits", {{2, 3}, {3, 1}, 0}, 6, 0, ""},
        {"column-major with offset", {{2, 3}, {1, 2}, 4}, 10, 0, ""},
        {"negative column stride", {{2, 3}, {3, -1}, 2}, 6, 0, ""},
        {"zero extent with zero strides", {{0, 3}, {0, 0}, 0}, 0, 0, ""},
        {"single element with zero strides", {{1, 1}, {0, 0}, 0}, 1, 0, ""},
        {"shared window, otherwise fine", {{2, 3}, {3, 1}, 0}, 6, 1, "Storage error: binary map" + shared_text},
        // The flag is looked at before anything else, even an empty or aliasing layout.
        {"shared window beats aliasing", rows_alias, 3, 1, "Storage error: binary map" + shared_text},
        {"shared empty window", {{0, 0}, {0, 0}, 0}, 0, 1, "Storage error: binary map" + shared_text},
        {"beyond storage", beyond, 6, 0, storage_text(beyond, 6)},
        // Storage is checked before aliasing.
        {"aliasing and beyond storage", {{2, 3}, {0, 1}, 4}, 6, 0, storage_text({{2, 3}, {0, 1}, 4}, 6)},
        {"rows alias", rows_alias, 3, 0, "Storage error: binary map" + aliasing_text},
        {"overlapping rows", {{3, 4}, {2, 1}, 0}, 8, 0, "Storage error: binary map" + aliasing_text},
    };
    std::vector<float> storage(16, 7.0f);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ArrayViewMut<float, 2> out{storage.data(), c.layout, c.storage_len, c.window_shared};
        auto r = validate_mutable_output(out, "binary map");
        if (c.expected.empty()) {
            EXPECT_TRUE(r.has_value()) << display(r.error());
        } else {
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(display(r.error()), c.expected);
        }
    }
    for (float v : storage) EXPECT_EQ(v, 7.0f);  // nothing is written
}

TEST(ValidateMutableOutputTest, LabelNamesTheOperation) {
    std::vector<double> storage(6, 0.0);
    ArrayViewMut<double, 2> shared{storage.data(), {{2, 3}, {3, 1}, 0}, 6, 1};
    auto r = validate_mutable_output(shared, "matmul");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()), "Storage error: matmul" + shared_text);
    ArrayViewMut<double, 2> aliasing{storage.data(), {{2, 3}, {0, 1}, 0}, 6, 0};
    r = validate_mutable_output(aliasing, "matmul");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()), "Storage error: matmul" + aliasing_text);
}

}  // namespace
