// Text rules shared by the sysfs readers: UTF-8 validation, trimming of Unicode
// White_Space, whitespace splitting and the strict decimal rule (one optional '+',
// then ASCII digits only, within a fixed width).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace garvon::topology::cpu::text {

[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// Removes leading and trailing Unicode White_Space (which covers a trailing line feed).
[[nodiscard]] std::string_view trim(std::string_view text);

// The non-empty runs between Unicode White_Space characters, in order.
[[nodiscard]] std::vector<std::string_view> split_whitespace(std::string_view text);

// The decimal rule: absent for an empty text, a lone sign, a minus sign, any other
// character or a value that does not fit the width.
[[nodiscard]] std::optional<std::uint32_t> parse_u32(std::string_view text);
[[nodiscard]] std::optional<std::uint64_t> parse_u64(std::string_view text);

// The number in a directory-entry name such as "node3" or "index12": the prefix must be
// followed by a number under the decimal rule.
[[nodiscard]] std::optional<std::uint32_t> parse_prefixed_u32(std::string_view name, std::string_view prefix);
[[nodiscard]] std::optional<std::uint64_t> parse_prefixed_u64(std::string_view name, std::string_view prefix);

}  // namespace garvon::topology::cpu::text
