#include "kavrel_python/borrow.hpp"

#include <Python.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_python/numpy_bridge.hpp"
#include "kavrel_python/python.hpp"

namespace kavrel_python::borrow {

namespace {

using detail::SharedTable;
using kavrel::domain::error::fail_invariant;
using python::Ref;

constexpr const char* table_attribute = "_kavrel_borrow_table";
constexpr const char* capsule_name = "kavrel_python.borrow_table";

struct Entry {
    std::uint64_t token;
    std::uintptr_t begin;
    std::uintptr_t end;
    bool writable;
};

// The registry state of the table this process created. Calls hold a handful of borrows
// at a time, so a flat list beats any index.
struct Registry {
    std::vector<Entry> entries;
    std::uint64_t next_token = 1;
};

bool overlaps(const Entry& e, std::uintptr_t begin, std::uintptr_t end) {
    return begin < end && e.begin < e.end && begin < e.end && e.begin < end;
}

extern "C" int registry_acquire(void* state, std::uintptr_t begin, std::uintptr_t end, int writable,
                                std::uint64_t* token) noexcept {
    auto& r = *static_cast<Registry*>(state);
    for (const Entry& e : r.entries)
        if ((writable || e.writable) && overlaps(e, begin, end)) return detail::conflict;
    try {
        r.entries.push_back(Entry{r.next_token, begin, end, writable != 0});
    } catch (const std::bad_alloc&) {
        return detail::out_of_memory;
    }
    *token = r.next_token++;
    return detail::acquired;
}

extern "C" void registry_release(void* state, std::uint64_t token) noexcept {
    auto& r = *static_cast<Registry*>(state);
    // Borrows end in reverse order, so the match is almost always the last entry.
    auto it = std::find_if(r.entries.rbegin(), r.entries.rend(), [&](const Entry& e) { return e.token == token; });
    if (it != r.entries.rend()) r.entries.erase(std::next(it).base());
}

extern "C" std::uint64_t registry_count(void* state) noexcept { return static_cast<Registry*>(state)->entries.size(); }

// Found or created on first use, never freed. Read and set with the interpreter lock held.
SharedTable* shared_table = nullptr;

SharedTable* create_table(PyObject* core) {
    // Lives until the process ends: other extensions may hold its address.
    auto* table = new SharedTable{detail::table_abi_version, numpy_bridge::numpy_feature_version(), new Registry,
                                  &registry_acquire, &registry_release, &registry_count};
    Ref capsule = Ref::steal(PyCapsule_New(table, capsule_name, nullptr));
    if (!capsule || PyObject_SetAttrString(core, table_attribute, capsule.get()) < 0)
        fail_invariant("invariant check failed: could not publish the shared borrow table: " +
                       python::take_pending_text());
    return table;
}

SharedTable* table() {
    if (shared_table) return shared_table;
    PyObject* core = numpy_bridge::core_module();
    Ref existing = Ref::steal(PyObject_GetAttrString(core, table_attribute));
    if (!existing) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            fail_invariant("invariant check failed: could not read the shared borrow table: " +
                           python::take_pending_text());
        PyErr_Clear();
        shared_table = create_table(core);
        return shared_table;
    }
    auto* found = static_cast<SharedTable*>(PyCapsule_GetPointer(existing.get(), capsule_name));
    if (!found) fail_invariant("invariant check failed: shared borrow table is not ours: " + python::take_pending_text());
    if (found->abi_version < detail::table_abi_version)
        fail_invariant("invariant check failed: shared borrow table version " + std::to_string(found->abi_version) +
                       " is older than " + std::to_string(detail::table_abi_version));
    shared_table = found;
    return shared_table;
}

}  // namespace

Borrow Borrow::acquire(ByteRange range, Access access, std::string_view what) {
    SharedTable* t = table();
    std::uint64_t token = no_token;
    switch (t->acquire(t->state, range.begin, range.end, static_cast<int>(access), &token)) {
        case detail::acquired:
            return Borrow(token);
        case detail::out_of_memory:
            throw std::bad_alloc();
        default:
            fail_invariant("invariant check failed: " + std::string(what) +
                           (access == Access::writable ? " cannot be borrowed writable: its memory is already borrowed"
                                                       : " overlaps memory borrowed writable elsewhere"));
    }
}

Borrow::~Borrow() {
    // A token exists only after the table was found, so `shared_table` is set.
    if (token_ != no_token) shared_table->release(shared_table->state, token_);
}

std::uint64_t held_count() {
    SharedTable* t = table();
    return t->count(t->state);
}

}  // namespace kavrel_python::borrow
