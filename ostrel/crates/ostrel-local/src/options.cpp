#include "ostrel_local/options.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "ostrel_core/options.hpp"
#include "ostrel_decay/engine.hpp"
#include "ostrel_prof/control.hpp"

namespace ostrel_local::options {

constinit std::atomic<std::uint8_t> OPTIONS_INIT{0};

namespace {

constexpr std::size_t longest_value_bytes = 31;

// Decodes one UTF-8 code point at text[at]; the length of its encoding, 0 when invalid
// (overlong forms, surrogates and values above U+10FFFF included).
std::size_t decode(std::string_view text, std::size_t at, char32_t& point) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    if (length == 1) {
        point = lead;
        return 1;
    }
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    point = value;
    return length;
}

// Unicode White_Space.
bool is_white_space(char32_t c) {
    return (c >= 0x9 && c <= 0xD) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The variable's value, trimmed, or absent when unset, too long or not UTF-8.
std::optional<std::string_view> read_value(const char* name) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return std::nullopt;
    std::string_view text(raw);
    if (text.size() > longest_value_bytes) return std::nullopt;
    // Decode once, remembering where the non-blank part starts and ends.
    std::size_t first = text.size(), end = 0;
    for (std::size_t at = 0; at < text.size();) {
        char32_t point = 0;
        std::size_t length = decode(text, at, point);
        if (length == 0) return std::nullopt;
        if (!is_white_space(point)) {
            first = std::min(first, at);
            end = at + length;
        }
        at += length;
    }
    if (first >= end) return std::string_view();
    return text.substr(first, end - first);
}

bool equals_ascii_lower(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() && std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

}  // namespace

std::optional<bool> parse_env_bool(const char* name) {
    std::optional<std::string_view> value = read_value(name);
    if (!value) return std::nullopt;
    if (*value == "1" || equals_ascii_lower(*value, "true")) return true;
    if (*value == "0" || equals_ascii_lower(*value, "false")) return false;
    return std::nullopt;
}

std::optional<std::uint64_t> parse_env_usize(const char* name) {
    std::optional<std::string_view> value = read_value(name);
    if (!value) return std::nullopt;
    std::string_view digits = *value;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    std::uint64_t result = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto next = kavrel::domain::checked::mul_add(result, std::uint64_t{10}, static_cast<std::uint64_t>(c - '0'));
        if (!next) return std::nullopt;
        result = *next;
    }
    return result;
}

namespace detail {

void apply_options_from_env() {
    namespace core = ostrel_core::options;
    // Relaxed stores: see the option statics; the decay thread reads them after it starts.
    if (auto retained = parse_env_usize("OSTREL_MAX_RETAINED_SEGMENTS")) {
        core::MAX_RETAINED_SEGMENTS.store(std::min(*retained, core::RETAINED_SEGMENTS_CEILING),
                                          std::memory_order_relaxed);
    }
    if (auto hint = parse_env_bool("OSTREL_ENABLE_HUGEPAGE_HINT")) {
        core::ENABLE_HUGEPAGE_HINT.store(*hint, std::memory_order_relaxed);
    }
    if (auto cadence = parse_env_usize("OSTREL_PURGE_CADENCE_MS")) {
        core::PURGE_CADENCE_MS.store(*cadence, std::memory_order_relaxed);
        if (*cadence != 0) ostrel_decay::engine::init_decay_engine();
    }
    if (parse_env_bool("OSTREL_PROF").value_or(false)) {
        ostrel_prof::control::enable_profiling(
            parse_env_usize("OSTREL_PROF_SAMPLE_INTERVAL").value_or(ostrel_prof::control::DEFAULT_SAMPLE_INTERVAL));
    }
    if (parse_env_bool("OSTREL_LEAK_DETECTOR").value_or(false)) ostrel_prof::control::enable_leak_detector();
}

}  // namespace detail

void init_options_from_env() {
    // Relaxed: only which caller wins matters; the option statics carry their own order.
    if (OPTIONS_INIT.exchange(1, std::memory_order_relaxed) != 0) return;
    detail::apply_options_from_env();
}

}  // namespace ostrel_local::options
