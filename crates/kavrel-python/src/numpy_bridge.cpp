// The one translation unit that includes NumPy's headers: its API table stays private here.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include "kavrel_python/numpy_bridge.hpp"

#include <numpy/arrayobject.h>

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "kavrel/application/iter/element/element_iter.hpp"
#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/dynamic/layout.hpp"
#include "kavrel/domain/layout/kernels.hpp"

namespace kavrel_python::numpy_bridge {

namespace {

using kavrel::domain::error::fail_invariant;
namespace kernels = kavrel::domain::layout::kernels;

// Set once NumPy's table is loaded; read and set only with the interpreter lock held.
PyObject* core = nullptr;
PyArray_Descr* float32_descr = nullptr;
PyArray_Descr* float64_descr = nullptr;
std::uint64_t feature_version = 0;

[[noreturn]] void fail_load(const std::string& detail) {
    fail_invariant("Failed to access NumPy array API capsule: " + detail);
}

Ref import_or_fail(const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (!module) fail_load(python::take_pending_text());
    return module;
}

Ref attr_or_fail(PyObject* object, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) fail_load(python::take_pending_text());
    return value;
}

long numpy_major_version() {
    Ref numpy = import_or_fail("numpy");
    Ref version = attr_or_fail(numpy.get(), "__version__");
    Ref lib = import_or_fail("numpy.lib");
    Ref numpy_version = attr_or_fail(lib.get(), "NumpyVersion");
    Ref parsed = Ref::steal(PyObject_CallOneArg(numpy_version.get(), version.get()));
    if (!parsed) fail_load(python::take_pending_text());
    Ref major = attr_or_fail(parsed.get(), "major");
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) fail_load(python::take_pending_text());
    return value;
}

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

template <class T>
constexpr int type_number() {
    if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
    else if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
    else if constexpr (std::is_same_v<T, std::uint64_t>) return NPY_UINT64;
    else {
        static_assert(std::is_same_v<T, fennick::types::complex::Complex>);
        return NPY_COMPLEX128;
    }
}

// Largest element count whose byte size a buffer can have.
template <class T>
constexpr std::uint64_t max_elements = static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(T);

// --- The owner object: the base of every NumPy array made over a system buffer ---------

struct BufferOwner {
    PyObject_HEAD
    void* data;
    std::uint64_t length;    // elements
    std::uint64_t capacity;  // elements
    void* holder;            // what owns the memory, freed by `free`
    void (*free)(void* holder);
    PyObject* weakrefs;
};

void owner_dealloc(PyObject* self) noexcept {
    auto* owner = reinterpret_cast<BufferOwner*>(self);
    if (owner->weakrefs) PyObject_ClearWeakRefs(self);
    if (owner->free) owner->free(owner->holder);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef owner_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(BufferOwner, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot owner_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&owner_dealloc)},
    {Py_tp_members, owner_members},
    {Py_tp_doc, const_cast<char*>("Owns one result buffer handed over to NumPy.")},
    {0, nullptr},
};

PyType_Spec owner_spec = {"kavrel_python.BufferOwner", sizeof(BufferOwner), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, owner_slots};

// Created on first use; read and set with the interpreter lock held.
PyTypeObject* owner_type = nullptr;

template <class T>
void free_vector(void* holder) {
    delete static_cast<std::vector<T>*>(holder);
}

void free_block(void* holder) { delete static_cast<ResultBlock*>(holder); }

void free_heap(void* holder) { std::free(holder); }

// What an owner takes over: the memory's address and element counts, and what frees it.
struct Handover {
    void* data;
    std::uint64_t length;
    std::uint64_t capacity;
    void* holder;
    void (*free)(void* holder);
};

// An owner object that frees the handed-over memory when it dies; stops with an internal error
// when it cannot be made, leaving the memory the caller's.
Ref make_owner(const Handover& h) {
    if (!owner_type) {
        owner_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&owner_spec));
        if (!owner_type) fail_invariant("Failed to create slice container: " + python::take_pending_text());
    }
    Ref owner = Ref::steal(owner_type->tp_alloc(owner_type, 0));
    if (!owner) fail_invariant("Failed to create slice container: " + python::take_pending_text());
    auto* o = reinterpret_cast<BufferOwner*>(owner.get());
    o->data = h.data;
    o->length = h.length;
    o->capacity = h.capacity;
    o->holder = h.holder;
    o->free = h.free;
    return owner;
}

// A row-major array of shape `dims` over `data`, whose base is `owner`.
template <class T>
Ref array_over(Ref owner, void* data, std::span<npy_intp> dims) {
    ensure_loaded();  // a result may be made before any array argument was looked at
    // No strides given: NumPy lays the memory out in row-major order.
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number<T>()),
                                                static_cast<int>(dims.size()), dims.data(), nullptr, data,
                                                NPY_ARRAY_WRITEABLE, nullptr));
    if (!array)
        fail_invariant("invariant check failed: NumPy made no array over a result buffer: " + python::take_pending_text());
    // Steals the owner reference, also on failure; from here the buffer dies with its last array.
    if (PyArray_SetBaseObject(as_array(array.get()), owner.release()) < 0)
        fail_invariant("invariant check failed: NumPy refused the owner of a result buffer: " +
                       python::take_pending_text());
    return array;
}

template <class T>
Ref empty_array() {
    ensure_loaded();
    npy_intp length = 0;
    // NumPy allocates its own storage for an empty array; no owner is needed.
    Ref empty = Ref::steal(
        PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number<T>()), 1, &length, nullptr, nullptr, 0, nullptr));
    if (!empty)
        fail_invariant("invariant check failed: NumPy made no array for an empty result: " + python::take_pending_text());
    return empty;
}

// The flat array given the array's shape, without copying.
template <std::size_t N>
PyResult<Ref> shaped(PyResult<Ref> flat, const std::array<std::uint64_t, N>& shape) {
    if (!flat) return flat;
    npy_intp dims[N];
    for (std::size_t k = 0; k < N; ++k) dims[k] = static_cast<npy_intp>(shape[k]);
    PyArray_Dims dims_record{dims, static_cast<int>(N)};
    Ref result = Ref::steal(PyArray_Newshape(as_array(flat->get()), &dims_record, NPY_ANYORDER));
    if (!result) return std::unexpected(python::fetch_pending());
    return result;
}

template <class T, std::size_t N>
PyResult<Ref> array_into_numpy(Array<T, N>&& array) {
    using kavrel::application::iter::element::element_iter::ElementIter;
    const std::uint64_t count =
        kavrel::domain::error::expect(array.layout.element_count(), "layout shape product must fit in usize");
    std::vector<T> buffer;
    if (array.layout.offset == 0 && kavrel::domain::layout::is_c_contiguous(array.layout) && array.len() == count) {
        buffer = std::move(array.storage.data);
    } else {
        // One copy in logical order; a storage that does not cover the layout is an internal error.
        const auto view = ArrayView<T, N>::of(array);
        if (count > max_elements<T>) return python::no_memory();
        buffer = ElementIter<T, N>::make(view).collect();
        std::vector<T>().swap(array.storage.data);
    }
    // The shape comes from the array itself, so it always matches the buffer.
    return shaped(vector_into_numpy(std::move(buffer)), array.layout.shape);
}

// An output array needs no reshaping step: NumPy gets its shape at once, over the block, with
// the owner as its base.
template <class T, std::size_t N>
PyResult<Ref> output_into_numpy(OutputArray<T, N>&& array) {
    const std::uint64_t count =
        kavrel::domain::error::expect(array.layout.element_count(), "layout shape product must fit in usize");
    if (array.layout.offset != 0 || !kavrel::domain::layout::is_c_contiguous(array.layout) || array.len() != count)
        fail_invariant("invariant: an output array is row-major over exactly its block");
    if (count == 0) return shaped(empty_array<T>(), array.layout.shape);
    void* data = array.storage.data();
    Ref owner;
    if (array.storage.on_heap()) {
        // Heap memory needs nothing but its address to be freed: no holder record.
        owner = make_owner({data, count, count, data, &free_heap});
        (void)array.storage.release_heap();  // the owner's now
    } else {
        auto holder = std::make_unique<ResultBlock>(std::move(array.storage));
        owner = make_owner({data, count, count, holder.get(), &free_block});
        (void)holder.release();  // the owner's now
    }
    npy_intp dims[N];
    for (std::size_t k = 0; k < N; ++k) dims[k] = static_cast<npy_intp>(array.layout.shape[k]);
    return array_over<T>(std::move(owner), data, dims);
}

}  // namespace

void ensure_loaded() {
    if (core) return;
    const long major = numpy_major_version();
    Ref module = import_or_fail(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    // NumPy's own loader: it refuses a NumPy whose ABI, C-API feature level or byte order
    // does not match what this module was compiled against.
    if (_import_array() < 0) fail_load(python::take_pending_text());
    Ref capsule = attr_or_fail(module.get(), "_ARRAY_API");
    void* published = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!published) fail_load(python::take_pending_text());
    if (published != static_cast<void*>(PyArray_API))
        fail_load("the core multiarray module publishes another table than NumPy's loader found");
    float32_descr = PyArray_DescrFromType(NPY_FLOAT32);
    float64_descr = PyArray_DescrFromType(NPY_FLOAT64);
    if (!float32_descr || !float64_descr) fail_load(python::take_pending_text());
    feature_version = PyArray_GetNDArrayCFeatureVersion();
    core = module.release();
}

PyObject* core_module() {
    ensure_loaded();
    return core;
}

std::uint64_t numpy_feature_version() {
    ensure_loaded();
    return feature_version;
}

bool is_array(PyObject* object, Element element, int ndim) {
    ensure_loaded();
    if (!PyArray_Check(object)) return false;
    PyArrayObject* a = as_array(object);
    if (ndim >= 0 && PyArray_NDIM(a) != ndim) return false;
    return PyArray_EquivTypes(PyArray_DESCR(a), element == Element::f32 ? float32_descr : float64_descr);
}

bool c_contiguous(PyObject* array) { return PyArray_IS_C_CONTIGUOUS(as_array(array)); }

bool element_aligned(PyObject* array) {
    PyArrayObject* a = as_array(array);
    return reinterpret_cast<std::uintptr_t>(PyArray_DATA(a)) % static_cast<std::uintptr_t>(PyArray_ITEMSIZE(a)) == 0;
}

borrow::ByteRange byte_range(PyObject* array) {
    PyArrayObject* a = as_array(array);
    const auto data = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
    const int ndim = PyArray_NDIM(a);
    const npy_intp* dims = PyArray_DIMS(a);
    const npy_intp* strides = PyArray_STRIDES(a);
    for (int k = 0; k < ndim; ++k)
        if (dims[k] == 0) return {data, data};
    // NumPy bounds the element count, not the strides: an as_strided array can reach past
    // npy_intp or the address space. Such an array is taken to reach every byte.
    constexpr borrow::ByteRange everything{0, UINTPTR_MAX};
    namespace checked = kavrel::domain::checked;
    npy_intp low = 0, high = 0;
    for (int k = 0; k < ndim; ++k) {
        const auto span = checked::mul(dims[k] - 1, strides[k]);
        if (!span) return everything;
        npy_intp& side = *span < 0 ? low : high;
        const auto reach = checked::add(side, *span);
        if (!reach) return everything;
        side = *reach;
    }
    const auto begin = checked::add<std::uintptr_t>(data, low);
    if (!begin) return everything;
    const auto last = checked::add<std::uintptr_t>(data, high);
    if (!last) return everything;
    const auto end = checked::add<std::uintptr_t>(*last, PyArray_ITEMSIZE(a));
    if (!end) return everything;
    return {*begin, *end};
}

template <class T, std::size_t N>
PyResult<ArrayView<T, N>> view_from_numpy(PyObject* object) {
    PyArrayObject* a = as_array(object);
    const npy_intp* dims = PyArray_DIMS(a);
    const npy_intp* byte_strides = PyArray_STRIDES(a);
    constexpr auto element_size = static_cast<npy_intp>(sizeof(T));
    kavrel::domain::layout::Layout<N> layout{};
    for (std::size_t k = 0; k < N; ++k) {
        if (byte_strides[k] % element_size != 0) return python::value_error("Non-element-aligned NumPy stride");
        layout.shape[k] = static_cast<std::uint64_t>(dims[k]);
        layout.strides[k] = byte_strides[k] / element_size;
    }
    bool empty = false;
    for (std::uint64_t extent : layout.shape) empty = empty || extent == 0;
    if (N >= 2 && !empty)
        if (auto count = kernels::element_count(layout.shape); !count) return python::value_error(count.error());
    if (auto bounds = kernels::min_max_offsets(layout.shape, layout.strides, 0); !bounds)
        return python::value_error(bounds.error());
    const auto* data = static_cast<const T*>(PyArray_DATA(a));
    if (!(PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a)) || !data)
        return python::value_error("Failed to extract contiguous slice from NumPy array");
    auto len = kernels::element_count(layout.shape);
    if (!len) return python::value_error(len.error());
    auto view = ArrayView<T, N>::from_parts(data, *len, layout);
    if (!view) return python::value_error(view.error());
    return *view;
}

PyResult<DynInput> dyn_input_from_numpy(PyObject* object) {
    PyArrayObject* a = as_array(object);
    const npy_intp* dims = PyArray_DIMS(a);
    DynInput input{std::vector<std::uint64_t>(dims, dims + PyArray_NDIM(a)), nullptr, 0};
    auto len = kernels::element_count(input.extents);  // 1 for no axes
    if (!len) return python::value_error(len.error());
    input.len = *len;
    input.data = static_cast<const float*>(PyArray_DATA(a));
    if (!input.data) return python::value_error("Failed to extract contiguous slice from NumPy array");
    return input;
}

Result<ArrayD<const float>> dyn_array(const DynInput& input) {
    auto layout = kavrel::domain::dynamic::layout::LayoutDyn::c_contiguous(input.extents);
    if (!layout) return std::unexpected(layout.error());
    return ArrayD<const float>::from_parts(input.data, input.len, std::move(*layout));
}

namespace {

// Transparent huge pages: a mapping's 2 MiB-aligned stretches can be backed by one page each.
constexpr std::size_t huge_page_bytes = std::size_t{1} << 21;

// A fresh anonymous mapping of at least `bytes`, aligned to and advised for huge pages, with its
// length; none when the address space or memory is exhausted.
std::optional<std::pair<void*, std::size_t>> map_zeroed(std::size_t bytes) noexcept {
    if (bytes > SIZE_MAX - 2 * huge_page_bytes) return std::nullopt;
    const std::size_t length = (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
    const std::size_t reserved = length + huge_page_bytes;
    void* raw = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return std::nullopt;
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (begin + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
    // Give back the unaligned head and the tail beyond the aligned run.
    if (aligned > begin) munmap(raw, aligned - begin);
    const std::uintptr_t end = begin + reserved;
    if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    auto* data = reinterpret_cast<void*>(aligned);
    // Only advice: where huge pages are off or scarce the mapping is served in 4 KiB pages.
    (void)madvise(data, length, MADV_HUGEPAGE);
    return std::pair{data, length};
}

// The most recently freed result mapping, kept for the next overwritten result it fits: its pages
// are resident, so that result is written without faulting in and zeroing a fresh page every
// 2 MiB. Measured on add of two 10^7-element arrays: 12 ms into a fresh mapping (most of it the
// streaming stores' page faults), 4 to 5 ms into resident pages, against NumPy's 9.5 ms. At most
// one mapping of up to spare_bytes_max stays behind after its array is gone.
struct Spare {
    std::mutex lock;
    void* data = nullptr;  // under lock
    std::size_t mapped_bytes = 0;
};
constexpr std::size_t spare_bytes_max = std::size_t{1} << 28;
Spare spare;

// The spare mapping when it holds `bytes` without being more than twice as long, else nothing.
std::optional<std::pair<void*, std::size_t>> take_spare(std::size_t bytes) noexcept {
    const std::lock_guard<std::mutex> guard(spare.lock);
    if (!spare.data || spare.mapped_bytes < bytes || spare.mapped_bytes / 2 > bytes) return std::nullopt;
    return std::pair{std::exchange(spare.data, nullptr), std::exchange(spare.mapped_bytes, 0)};
}

// Keeps the mapping as the spare, giving back the one it replaces, or gives it back at once.
void give_back(void* data, std::size_t mapped_bytes) noexcept {
    if (mapped_bytes <= spare_bytes_max) {
        const std::lock_guard<std::mutex> guard(spare.lock);
        std::swap(spare.data, data);
        std::swap(spare.mapped_bytes, mapped_bytes);
    }
    if (data) munmap(data, mapped_bytes);
}

}  // namespace

ResultBlock::~ResultBlock() {
    if (!data_) return;
    if (mapped_bytes_ != 0) {
        give_back(data_, mapped_bytes_);
    } else {
        std::free(data_);
    }
}

std::optional<ResultBlock> ResultBlock::allocate(std::size_t bytes, Contents contents) noexcept {
    ResultBlock block;
    if (bytes == 0) return block;
    const bool zeros = contents == Contents::zeros;
    if (bytes < (zeros ? zeros_mapped_from_bytes : overwritten_mapped_from_bytes)) {
        block.data_ = zeros ? std::calloc(bytes, 1) : std::malloc(bytes);
        if (!block.data_) return std::nullopt;
    } else {
        // A spare's pages hold old values: only for memory the caller overwrites.
        auto mapping = zeros ? std::nullopt : take_spare(bytes);
        if (!mapping) mapping = map_zeroed(bytes);
        if (!mapping) return std::nullopt;
        block.data_ = mapping->first;
        block.mapped_bytes_ = mapping->second;
    }
    block.bytes_ = bytes;
    return block;
}

template <class T, std::size_t N>
PyResult<OutputArray<T, N>> output_array(const std::array<std::uint64_t, N>& shape, Contents contents) {
    auto layout = kavrel::domain::layout::Layout<N>::c_contiguous(shape);
    if (!layout) return python::value_error(layout.error());
    auto count = layout->element_count();
    if (!count) return python::value_error(count.error());
    if (*count > max_elements<T>) return python::no_memory();
    auto block = ResultBlock::allocate(static_cast<std::size_t>(*count) * sizeof(T), contents);
    if (!block) return python::no_memory();
    OutputArray<T, N> out{std::move(*block), *layout};
    if (auto r = kernels::validate_storage(out.layout.shape, out.layout.strides, 0, out.len()); !r)
        return python::value_error(r.error());
    return out;
}

template <class T>
PyResult<Ref> array_into_numpy2(Array<T, 2>&& array) {
    return array_into_numpy(std::move(array));
}

PyResult<Ref> array_into_numpy3(Array<float, 3>&& array) { return array_into_numpy(std::move(array)); }

template <class T>
PyResult<Ref> array_into_numpy2(OutputArray<T, 2>&& array) {
    return output_into_numpy(std::move(array));
}

PyResult<Ref> array_into_numpy3(OutputArray<float, 3>&& array) { return output_into_numpy(std::move(array)); }

template <class T>
PyResult<Ref> vector_into_numpy(std::vector<T>&& buffer) {
    if (buffer.empty()) return empty_array<T>();
    auto holder = std::make_unique<std::vector<T>>(std::move(buffer));
    T* data = holder->data();
    const std::uint64_t length = holder->size();
    Ref owner = make_owner({data, length, holder->capacity(), holder.get(), &free_vector<T>});
    holder.release();  // the owner's now
    npy_intp dims[1] = {static_cast<npy_intp>(length)};
    return array_over<T>(std::move(owner), data, dims);
}

template PyResult<ArrayView<float, 1>> view_from_numpy<float, 1>(PyObject*);
template PyResult<ArrayView<float, 2>> view_from_numpy<float, 2>(PyObject*);
template PyResult<ArrayView<float, 3>> view_from_numpy<float, 3>(PyObject*);
template PyResult<ArrayView<float, 4>> view_from_numpy<float, 4>(PyObject*);
template PyResult<ArrayView<float, 5>> view_from_numpy<float, 5>(PyObject*);
template PyResult<ArrayView<float, 6>> view_from_numpy<float, 6>(PyObject*);
template PyResult<ArrayView<double, 1>> view_from_numpy<double, 1>(PyObject*);
template PyResult<ArrayView<double, 2>> view_from_numpy<double, 2>(PyObject*);
template PyResult<OutputArray<float, 2>> output_array<float, 2>(const std::array<std::uint64_t, 2>&, Contents);
template PyResult<OutputArray<float, 3>> output_array<float, 3>(const std::array<std::uint64_t, 3>&, Contents);
template PyResult<OutputArray<double, 2>> output_array<double, 2>(const std::array<std::uint64_t, 2>&, Contents);
template PyResult<Ref> array_into_numpy2<float>(Array<float, 2>&&);
template PyResult<Ref> array_into_numpy2<double>(Array<double, 2>&&);
template PyResult<Ref> array_into_numpy2<float>(OutputArray<float, 2>&&);
template PyResult<Ref> array_into_numpy2<double>(OutputArray<double, 2>&&);
template PyResult<Ref> vector_into_numpy<float>(std::vector<float>&&);
template PyResult<Ref> vector_into_numpy<double>(std::vector<double>&&);
template PyResult<Ref> vector_into_numpy<std::uint64_t>(std::vector<std::uint64_t>&&);
template PyResult<Ref> vector_into_numpy<fennick::types::complex::Complex>(
    std::vector<fennick::types::complex::Complex>&&);

}  // namespace kavrel_python::numpy_bridge
