// The only place where NumPy arrays meet the array core. On the way in, a checked NumPy
// argument becomes a view over NumPy's own buffer (nothing is copied); on the way out, an
// owned array or buffer becomes a NumPy array that takes the buffer over, copying once only
// when the layout is not row-major at offset 0. Everything here runs with the interpreter
// lock held; NumPy's C API is loaded on first use, never at import.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "fennick/types/complex.hpp"
#include "kavrel/application/array/types.hpp"
#include "kavrel/application/dynamic/array.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_python/borrow.hpp"
#include "kavrel_python/python.hpp"

namespace kavrel_python::numpy_bridge {

using kavrel::application::array::types::Array;
using kavrel::application::dynamic::array::ArrayD;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;
using python::PyResult;
using python::Ref;

enum class Element { f32, f64 };

// Loads NumPy's C API through NumPy's own loader (ABI, feature-version and byte-order
// checks) from the core multiarray module that matches the installed major version.
// A failure is the internal error "Failed to access NumPy array API capsule: ...".
void ensure_loaded();
// NumPy's core multiarray module (borrowed), which also carries the shared borrow table.
PyObject* core_module();
// The C-API feature version of the NumPy in use.
std::uint64_t numpy_feature_version();

// Argument tests. `is_array` loads NumPy first; the others require an accepted array.
bool is_array(PyObject* object, Element element, int ndim);  // ndim < 0: any rank
bool c_contiguous(PyObject* array);
bool element_aligned(PyObject* array);  // the data address is a multiple of the element size
// The bytes the array can reach, for the borrow table.
borrow::ByteRange byte_range(PyObject* array);

// A view over the NumPy buffer of an accepted, C-contiguous, aligned array of rank N.
// The view borrows NumPy's memory: the caller keeps the array and its borrow for as long
// as the view is used. Instances: float32 ranks 1 to 6, float64 ranks 1 and 2.
template <class T, std::size_t N>
[[nodiscard]] PyResult<ArrayView<T, N>> view_from_numpy(PyObject* array);

// A float32 array of any rank as sum_dyn reads it: its extents (copied), its data address
// and the product of the extents as storage length (1 for a 0-d array). The data stays
// NumPy's; the same lifetime rule as for views applies.
struct DynInput {
    std::vector<std::uint64_t> extents;
    const float* data;
    std::uint64_t len;
};
[[nodiscard]] PyResult<DynInput> dyn_input_from_numpy(PyObject* array);

// The row-major dynamic array over a DynInput (NumPy's strides are not read).
[[nodiscard]] Result<ArrayD<const float>> dyn_array(const DynInput& input);

// The rank-N view of a dynamic array; a rank other than N is the StorageError
// "rank-checked strides failed fixed-length conversion".
template <std::size_t N>
[[nodiscard]] Result<ArrayView<float, N>> fixed_view(const ArrayD<const float>& a) {
    if (a.layout.shape.size() != N || a.layout.strides.size() != N)
        return kavrel::domain::error::storage_error("rank-checked strides failed fixed-length conversion");
    kavrel::domain::layout::Layout<N> l{};
    for (std::size_t k = 0; k < N; ++k) {
        l.shape[k] = a.layout.shape[k];
        l.strides[k] = a.layout.strides[k];
    }
    l.offset = a.layout.offset;
    return ArrayView<float, N>::from_parts(a.storage.ptr, a.storage.len, l);
}

// What a result's memory holds when output_array returns it.
enum class Contents {
    // +0.0 everywhere.
    zeros,
    // Anything: for a caller that writes every element before the array is returned or read
    // (the element-wise maps, the overwriting matrix products), so no zeros are made for it.
    overwritten,
};

// The memory of a result array. Nothing fills it: zeros come from calloc below
// zeros_mapped_from_bytes and from a fresh anonymous mapping above it; overwritten memory from
// malloc, which reuses warm heap memory, up to overwritten_mapped_from_bytes and from a fresh
// mapping above it. Mappings are aligned to and advised for 2 MiB pages: a large result then
// costs a few hundred page faults instead of one per 4 KiB, each page faulted in by the thread
// that first writes it. Move-only; frees its memory when destroyed, or hands it to the NumPy
// array that takes it over.
class ResultBlock {
public:
    // 4 MiB: smaller zeroed blocks come from calloc, which clears reused heap memory itself.
    static constexpr std::size_t zeros_mapped_from_bytes = std::size_t{1} << 22;
    // 32 MiB: glibc maps every larger request on its own, in 4 KiB pages.
    static constexpr std::size_t overwritten_mapped_from_bytes = std::size_t{1} << 25;

    ResultBlock() noexcept = default;
    ResultBlock(ResultBlock&& other) noexcept { swap(other); }
    ResultBlock& operator=(ResultBlock&& other) noexcept {
        ResultBlock(std::move(other)).swap(*this);
        return *this;
    }
    ~ResultBlock();

    // `bytes` bytes holding `contents`, or none when memory is exhausted. 0 bytes takes none.
    [[nodiscard]] static std::optional<ResultBlock> allocate(std::size_t bytes, Contents contents) noexcept;

    void* data() const noexcept { return data_; }
    std::size_t bytes() const noexcept { return bytes_; }
    // Heap memory (not a mapping): std::free frees it.
    bool on_heap() const noexcept { return data_ && mapped_bytes_ == 0; }
    // Gives up heap memory to the caller, who frees it with std::free. Requires: on_heap().
    void* release_heap() noexcept {
        void* data = data_;
        data_ = nullptr;
        bytes_ = 0;
        return data;
    }

private:
    void swap(ResultBlock& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
        std::swap(mapped_bytes_, other.mapped_bytes_);
    }

    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t mapped_bytes_ = 0;  // length of the mapping; 0 for heap memory
};

// A row-major result at offset 0 over its own ResultBlock of exactly its element count. The
// block is the array's: a view of it lives no longer than the array.
template <class T, std::size_t N>
struct OutputArray {
    ResultBlock storage;
    kavrel::domain::layout::Layout<N> layout;

    T* data() const noexcept { return static_cast<T*>(storage.data()); }
    std::uint64_t len() const noexcept { return storage.bytes() / sizeof(T); }
    // A writable view of the whole array (its window its own).
    kavrel::application::view::mutable_core::ArrayViewMut<T, N> view_mut() noexcept { return {data(), layout, len(), 0}; }
};

// A row-major array of `shape`, zero-filled unless the caller asks for memory it overwrites.
// Layout overflow is a ValueError with the error's display text; a buffer that cannot be
// allocated, or whose byte size overflows, is MemoryError. Instances: float32 two and three
// axes, float64 two axes.
template <class T, std::size_t N>
[[nodiscard]] PyResult<OutputArray<T, N>> output_array(const std::array<std::uint64_t, N>& shape,
                                                       Contents contents = Contents::zeros);

// A new NumPy array with the array's shape. The buffer is handed over without a copy when
// the layout is row-major at offset 0 and the buffer holds exactly its element count;
// otherwise the elements are first copied once in logical order.
template <class T>
[[nodiscard]] PyResult<Ref> array_into_numpy2(Array<T, 2>&& array);  // float32, float64
[[nodiscard]] PyResult<Ref> array_into_numpy3(Array<float, 3>&& array);
// The same for a result of output_array, whose block is always taken over without a copy.
template <class T>
[[nodiscard]] PyResult<Ref> array_into_numpy2(OutputArray<T, 2>&& array);  // float32, float64
[[nodiscard]] PyResult<Ref> array_into_numpy3(OutputArray<float, 3>&& array);

// A new one-axis NumPy array that takes `buffer` over; its base owns and frees the buffer.
// Instances: float32, float64, uint64, complex128 (fennick Complex).
template <class T>
[[nodiscard]] PyResult<Ref> vector_into_numpy(std::vector<T>&& buffer);

}  // namespace kavrel_python::numpy_bridge
