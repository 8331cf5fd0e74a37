// Visits the elements of a read-only view in logical row-major order (last axis fastest).
// A C-contiguous view is walked as one storage run; any other view by an odometer that
// never steps past the last element, so no offset beyond the layout is ever formed.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel/domain/layout/layout.hpp"

namespace kavrel::application::iter::element::element_iter {

template <class T, std::size_t N>
struct ElementIter {
    struct Run {
        std::uint64_t start;
        std::uint64_t end;
    };

    const T* ptr;
    std::uint64_t len;
    std::optional<Run> run;
    domain::layout::Layout<N> layout;
    std::array<std::uint64_t, N> extents;
    std::uint64_t front;  // logical position of the next element
    std::uint64_t end;    // element count
    std::array<std::uint64_t, N> front_index;
    std::int64_t front_storage;
    std::array<std::uint64_t, N> back_index;
    std::int64_t back_storage;

    // Requires: the view's layout was validated against its storage (views always are).
    static ElementIter make(const view::immutable::ArrayView<T, N>& v) {
        const auto& l = v.layout;
        ElementIter it{v.ptr, v.len, std::nullopt, l, l.shape, 0, 0, {}, 0, {}, 0};
        // An empty view has no elements even when the running product of its other extents
        // overflows before the 0 is reached ([2^40, 2^40, 0] validates as empty).
        const bool empty = std::find(l.shape.begin(), l.shape.end(), 0) != l.shape.end();
        it.end = empty ? 0 : domain::error::expect(l.element_count(), "layout shape product must fit in usize");
        if (domain::layout::is_c_contiguous(l)) {
            constexpr std::string_view inside = "invariant: contiguous run lies inside the storage";
            const std::uint64_t stop = domain::checked::expect(domain::checked::add(l.offset, it.end), inside);
            if (it.end > 0 && stop > v.len) domain::error::fail_invariant(inside);
            it.run = Run{l.offset, stop};
        }
        it.front_storage = static_cast<std::int64_t>(l.offset);
        it.back_storage = it.front_storage;
        if (it.end > 0) {
            for (std::size_t k = 0; k < N; ++k) it.back_index[k] = l.shape[k] - 1;
            it.back_storage = domain::error::expect(
                domain::layout::kernels::physical_offset(l.shape, l.strides, l.offset, it.back_index),
                "invariant: last index is valid");
        }
        return it;
    }

    std::uint64_t remaining() const { return end - front; }

    std::optional<T> next() {
        if (front == end) return std::nullopt;
        if (run) return ptr[run->start + front++];
        if (front_storage < 0 || static_cast<std::uint64_t>(front_storage) >= len)
            domain::error::fail_invariant("invariant: element index lies inside the storage");
        const T value = ptr[front_storage];
        if (++front < end) step();
        return value;
    }

    std::vector<T> collect() {
        std::vector<T> out;
        out.reserve(static_cast<std::size_t>(remaining()));
        while (auto v = next()) out.push_back(*v);
        return out;
    }

private:
    // Odometer step to the next element; only called when one exists, so every storage
    // index formed here is one the validated layout reaches.
    void step() {
        for (std::size_t k = N; k-- > 0;) {
            if (front_index[k] + 1 < extents[k]) {
                ++front_index[k];
                front_storage += layout.strides[k];
                return;
            }
            front_storage -= static_cast<std::int64_t>(extents[k] - 1) * layout.strides[k];
            front_index[k] = 0;
        }
    }
};

}  // namespace kavrel::application::iter::element::element_iter
