#include "garvon/topology/cpu/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "garvon/topology/cpu/text.hpp"

namespace garvon::topology::cpu::fs {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

class DirStream {
public:
    explicit DirStream(DIR* dir) : dir_(dir) {}
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
    ~DirStream() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

// Sysfs attributes report a size of 4096 whatever they hold, so read to end of file.
constexpr std::size_t read_chunk_bytes = 4096;

}  // namespace

std::optional<std::string> read_bytes(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    std::string content;
    char chunk[read_chunk_bytes];
    while (true) {
        ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) return content;
        content.append(chunk, static_cast<std::size_t>(got));
    }
}

std::optional<std::string> read_text(const std::string& path) {
    auto content = read_bytes(path);
    if (!content || !text::is_valid_utf8(*content)) return std::nullopt;
    return content;
}

std::optional<std::vector<DirEntry>> list_dir(const std::string& path) {
    DirStream dir(::opendir(path.c_str()));
    if (dir.get() == nullptr) return std::nullopt;
    std::vector<DirEntry> entries;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) break;
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (!text::is_valid_utf8(name)) continue;
        entries.push_back(DirEntry{std::string(name), join(path, name)});
    }
    return entries;
}

std::string join(std::string_view base, std::string_view name) {
    std::string path(base);
    if (!path.empty() && !path.ends_with('/')) path.push_back('/');
    path.append(name);
    return path;
}

}  // namespace garvon::topology::cpu::fs
