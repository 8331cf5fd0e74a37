#include "ostrel_core/fault.hpp"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace ostrel_core::fault {

void abort_corrupted() noexcept { std::abort(); }

void report_allocation_failure(std::size_t bytes) noexcept {
    static constexpr char head[] = "memory allocation of ";
    static constexpr char tail[] = " bytes failed\n";
    char text[sizeof head + 20 + sizeof tail];
    char* end = text;
    std::memcpy(end, head, sizeof head - 1);
    end += sizeof head - 1;
    end = std::to_chars(end, end + 20, bytes).ptr;
    std::memcpy(end, tail, sizeof tail - 1);
    end += sizeof tail - 1;
    // A short write is not retried: the process is about to end either way.
    (void)!::write(STDERR_FILENO, text, static_cast<std::size_t>(end - text));
    std::abort();
}

}  // namespace ostrel_core::fault
