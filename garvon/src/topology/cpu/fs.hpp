// The few file-system operations the sysfs readers need: whole-file reads, directory
// listings and path joining. Every failure is an absent result; none throws or logs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace garvon::topology::cpu::fs {

// The whole content of a file, or absent when opening or reading it fails (a directory
// where the file should be counts as unreadable).
[[nodiscard]] std::optional<std::string> read_bytes(const std::string& path);

// read_bytes, but a content that is not valid UTF-8 also counts as unreadable.
[[nodiscard]] std::optional<std::string> read_text(const std::string& path);

struct DirEntry {
    std::string name;
    std::string path;
};

// The entries of a directory in listing order, without "." and "..". Entries whose name
// is not valid UTF-8 are skipped; a read error ends the listing. Absent when the
// directory cannot be opened.
[[nodiscard]] std::optional<std::vector<DirEntry>> list_dir(const std::string& path);

// base + "/" + name, without doubling a slash that base already ends with.
[[nodiscard]] std::string join(std::string_view base, std::string_view name);

}  // namespace garvon::topology::cpu::fs
