// Fixtures of the matrix-product tests: operands placed by hand in row-major, column-major,
// padded-row or reversed strided layouts inside buffers with guard elements, an exact reference
// product, and checks that every addressed output element holds its value and every other
// storage element still holds the guard.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "dravik_executor/global_arc.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/layout/layout.hpp"

namespace matrix_test {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::layout::Layout;

template <class T>
bool same_bits(T x, T y) {
    using U = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    return std::bit_cast<U>(x) == std::bit_cast<U>(y);
}

enum class Kind { row, col, padded, strided };

inline const char* name_of(Kind kind) {
    switch (kind) {
        case Kind::row: return "row";
        case Kind::col: return "col";
        case Kind::padded: return "padded";
        case Kind::strided: return "strided";
    }
    return "?";
}

inline constexpr std::uint64_t guard_elements = 5;

// The layout of a rows×cols operand of one kind, placed after guard_elements leading guards:
// padded rows leave 3 elements between rows; strided walks the rows backwards, every other
// element along a row.
inline Layout<2> layout_of(Kind kind, std::uint64_t rows, std::uint64_t cols) {
    const auto r = static_cast<std::int64_t>(rows), c = static_cast<std::int64_t>(cols);
    switch (kind) {
        case Kind::row: return {{rows, cols}, {c, 1}, guard_elements};
        case Kind::col: return {{rows, cols}, {1, r}, guard_elements};
        case Kind::padded: return {{rows, cols}, {c + 3, 1}, guard_elements};
        case Kind::strided: {
            const std::int64_t step = 2 * c + 1;
            const std::int64_t last_row = rows == 0 ? 0 : (r - 1) * step;
            return {{rows, cols}, {-step, 2}, guard_elements + static_cast<std::uint64_t>(last_row)};
        }
    }
    return {};
}

// Storage index of element (i, j).
inline std::uint64_t index_of(const Layout<2>& l, std::uint64_t i, std::uint64_t j) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(l.offset) + static_cast<std::int64_t>(i) * l.strides[0] +
                                      static_cast<std::int64_t>(j) * l.strides[1]);
}

// A rows×cols matrix in its own buffer: every element outside the matrix holds `guard`.
template <class T>
struct Placed {
    std::vector<T> storage;
    Layout<2> layout;
    T guard;

    Placed(Kind kind, std::uint64_t rows, std::uint64_t cols, T guard_value)
        : layout(layout_of(kind, rows, cols)), guard(guard_value) {
        std::uint64_t high = layout.offset;
        for (std::uint64_t i = 0; i < rows; ++i)
            for (std::uint64_t j = 0; j < cols; ++j) high = std::max(high, index_of(layout, i, j));
        storage.assign(high + 1 + guard_elements, guard);
    }

    std::uint64_t rows() const { return layout.shape[0]; }
    std::uint64_t cols() const { return layout.shape[1]; }
    T& at(std::uint64_t i, std::uint64_t j) { return storage[index_of(layout, i, j)]; }
    T at(std::uint64_t i, std::uint64_t j) const { return storage[index_of(layout, i, j)]; }

    ArrayView<T, 2> view() const { return {storage.data(), storage.size(), layout}; }
    ArrayViewMut<T, 2> view_mut() { return {storage.data(), layout, storage.size(), 0}; }

    // Elements of the logical row-major `values`.
    void fill(const std::vector<T>& values) {
        for (std::uint64_t i = 0; i < rows(); ++i)
            for (std::uint64_t j = 0; j < cols(); ++j) at(i, j) = values[i * cols() + j];
    }
    std::vector<T> logical() const {
        std::vector<T> out;
        for (std::uint64_t i = 0; i < rows(); ++i)
            for (std::uint64_t j = 0; j < cols(); ++j) out.push_back(at(i, j));
        return out;
    }

    // Storage elements that no (i, j) addresses and that differ from the guard (bitwise).
    std::uint64_t guards_changed() const {
        std::vector<bool> addressed(storage.size(), false);
        for (std::uint64_t i = 0; i < rows(); ++i)
            for (std::uint64_t j = 0; j < cols(); ++j) addressed[index_of(layout, i, j)] = true;
        std::uint64_t changed = 0;
        for (std::size_t s = 0; s < storage.size(); ++s)
            changed += !addressed[s] && !same_bits(storage[s], guard);
        return changed;
    }
};

// Small integers: every product and partial sum of the tests' sizes is exact in float, so every
// kernel path gives the same value.
template <class T>
std::vector<T> small_integers(std::uint64_t count, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> pick(-3, 3);
    std::vector<T> v(count);
    for (auto& x : v) x = static_cast<T>(pick(gen));
    return v;
}

template <class T>
std::vector<T> uniform_values(std::uint64_t count, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> pick(-1.0, 1.0);
    std::vector<T> v(count);
    for (auto& x : v) x = static_cast<T>(pick(gen));
    return v;
}

// c0 + A·B in double over logical row-major operands (exact for small integers).
template <class T>
std::vector<double> reference_product(const std::vector<T>& a, const std::vector<T>& b, const std::vector<T>& c0,
                                      std::uint64_t m, std::uint64_t k, std::uint64_t n) {
    std::vector<double> c(m * n);
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            double s = c0.empty() ? 0.0 : static_cast<double>(c0[i * n + j]);
            for (std::uint64_t p = 0; p < k; ++p) s += static_cast<double>(a[i * k + p]) * static_cast<double>(b[p * n + j]);
            c[i * n + j] = s;
        }
    return c;
}

// Σ_p |a||b| per element: the scale of a product's rounding error.
template <class T>
std::vector<double> magnitude_product(const std::vector<T>& a, const std::vector<T>& b, std::uint64_t m,
                                      std::uint64_t k, std::uint64_t n) {
    std::vector<double> c(m * n);
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j)
            for (std::uint64_t p = 0; p < k; ++p)
                c[i * n + j] += std::abs(static_cast<double>(a[i * k + p])) * std::abs(static_cast<double>(b[p * n + j]));
    return c;
}

// Chunks of data-parallel calls that the global executor's workers ran, plus those a caller ran
// after a refused admission: unchanged across a call that never handed work to the executor.
// A worker counts its job just after the caller's wait has ended, so this waits for that first.
inline std::uint64_t executor_chunks() {
    const auto& pool = dravik_executor::global_arc::GLOBAL_EXECUTOR.get().scheduler().inner();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (pool.running.load() != 0 || pool.pending.load() != 0) {
        if (std::chrono::steady_clock::now() > until) {
            ADD_FAILURE() << "hang: executor jobs still running";
            break;
        }
        std::this_thread::yield();
    }
    return pool.completed.load() + pool.failed.load() + pool.inline_fallbacks.load();
}

}  // namespace matrix_test
