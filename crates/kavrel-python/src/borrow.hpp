// The process-wide borrow table: every extension that shares it records which array
// memory it reads or writes for the length of a call. Read-only borrows coexist; a borrow
// that overlaps a writable one (or a writable one that overlaps anything) is refused.
// The table is a capsule on NumPy's core multiarray module, created by whichever sharing
// extension comes first; all access happens with the interpreter lock held.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

namespace kavrel_python::borrow {

// The bytes [begin, end) an array can reach; an empty range overlaps nothing.
struct ByteRange {
    std::uintptr_t begin;
    std::uintptr_t end;
};

enum class Access : int { read_only = 0, writable = 1 };

// One borrow in the shared table, released when its holder dies.
class Borrow {
public:
    // Registers the borrow. A conflict, or a table that cannot be reached, is an internal
    // error naming `what`; an exhausted registry throws std::bad_alloc.
    static Borrow acquire(ByteRange range, Access access, std::string_view what);

    Borrow(Borrow&& other) noexcept : token_(std::exchange(other.token_, no_token)) {}
    Borrow& operator=(Borrow&&) = delete;
    Borrow(const Borrow&) = delete;
    ~Borrow();

private:
    static constexpr std::uint64_t no_token = 0;
    explicit Borrow(std::uint64_t token) : token_(token) {}
    std::uint64_t token_;
};

// Borrows currently held in the shared table by every extension using it.
std::uint64_t held_count();

// Implementation details
namespace detail {

// The record behind the capsule. Its layout is shared with other builds of this code, so
// it only ever grows at the end, with `abi_version` raised.
extern "C" struct SharedTable {
    std::uint64_t abi_version;
    std::uint64_t numpy_feature_version;  // of the NumPy that the creating extension loaded
    void* state;
    int (*acquire)(void* state, std::uintptr_t begin, std::uintptr_t end, int writable, std::uint64_t* token);
    void (*release)(void* state, std::uint64_t token);
    std::uint64_t (*count)(void* state);
};

inline constexpr std::uint64_t table_abi_version = 1;
inline constexpr int acquired = 0;
inline constexpr int conflict = 1;
inline constexpr int out_of_memory = 2;

}  // namespace detail

}  // namespace kavrel_python::borrow
