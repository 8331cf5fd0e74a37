#include "garvon/topology/cpu/cache/linux.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fixture_tree.hpp"

namespace {

namespace cache = garvon::topology::cpu::cache::linux;
using garvon::testing::TempTree;
using garvon::topology::types::cpu::CacheLevel;
using Caches = std::optional<std::vector<CacheLevel>>;

// Marks a file that is replaced by a directory, so that reading it fails.
const std::string unreadable = "<directory>";

struct IndexFiles {
    std::optional<std::string> level;
    std::optional<std::string> size;
    std::optional<std::string> type;
    std::optional<std::string> shared;
    std::optional<std::string> line;
};

void put(const TempTree& tree, const std::string& path, const std::optional<std::string>& content) {
    if (!content) return;
    if (*content == unreadable) {
        tree.make_dir(path);
    } else {
        tree.write(path, *content);
    }
}

void write_index(const TempTree& tree, const std::string& index_dir, const IndexFiles& files) {
    tree.make_dir(index_dir);
    put(tree, index_dir + "/level", files.level);
    put(tree, index_dir + "/size", files.size);
    put(tree, index_dir + "/type", files.type);
    put(tree, index_dir + "/shared_cpu_list", files.shared);
    put(tree, index_dir + "/coherency_line_size", files.line);
}

IndexFiles data(std::string level, std::string size, std::string shared, std::string line = "64\n") {
    return IndexFiles{level + "\n", size + "\n", "Data\n", shared + "\n", line};
}

// A two-processor machine as the kernel shows it: split L1, private L2, shared L3, and
// the entries that are not processors or caches.
TEST(GarvonCacheLinuxTest, TypicalMachine) {
    TempTree tree;
    for (int cpu = 0; cpu < 2; ++cpu) {
        std::string dir = "cpu/cpu" + std::to_string(cpu) + "/cache/";
        std::string self = std::to_string(cpu) + "\n";
        write_index(tree, dir + "index0", {"1\n", "48K\n", "Data\n", self, "64\n"});
        write_index(tree, dir + "index1", {"1\n", "32K\n", "Instruction\n", self, "64\n"});
        write_index(tree, dir + "index2", {"2\n", "2048K\n", "Unified\n", self, "64\n"});
        write_index(tree, dir + "index3", {"3\n", "105M\n", "Unified\n", "0-1\n", "64\n"});
        tree.write(dir + "uevent", "");
        tree.write("cpu/cpu" + std::to_string(cpu) + "/cpu_capacity", "1024\n");
    }
    write_index(tree, "cpu/cpufreq/policy0/cache/index0", data("1", "1K", "0"));
    write_index(tree, "cpu/cpu32768/cache/index0", data("1", "2K", "0"));
    write_index(tree, "cpu/cpu0/cache/index64", data("1", "3K", "0"));
    tree.make_dir("cpu/cpuidle");
    tree.write("cpu/online", "0-1\n");

    Caches expected = std::vector<CacheLevel>{
        {64, {0}, 48 * 1024, 1},
        {64, {0}, 2048 * 1024, 2},
        {64, {0, 1}, 105 * 1024 * 1024, 3},
        {64, {1}, 48 * 1024, 1},
        {64, {1}, 2048 * 1024, 2},
    };
    EXPECT_EQ(cache::detect(tree.path("cpu")), expected);
}

// One candidate at a time: which files and contents keep it, skip it or change it.
TEST(GarvonCacheLinuxTest, CandidateRules) {
    struct Case {
        std::string name;
        IndexFiles files;
        std::optional<CacheLevel> expected;
    };
    const IndexFiles base = {"1\n", "32K\n", "Data\n", "0\n", "64\n"};
    auto with = [&](auto IndexFiles::*field, std::optional<std::string> value) {
        IndexFiles files = base;
        files.*field = std::move(value);
        return files;
    };
    auto level = [](std::uint64_t size, std::uint32_t lvl = 1, std::optional<std::uint64_t> line = 64,
                    std::vector<std::uint32_t> shared = {0}) { return CacheLevel{line, shared, size, lvl}; };
    const std::vector<Case> cases = {
        {"base", base, level(32768)},
        {"size 1M", with(&IndexFiles::size, "1M\n"), level(1048576)},
        {"size 512", with(&IndexFiles::size, "512\n"), level(512)},
        {"size 2G", with(&IndexFiles::size, "2G\n"), level(std::uint64_t{2} << 30)},
        {"lower-case suffixes", with(&IndexFiles::size, "3k"), level(3072)},
        {"lower-case m", with(&IndexFiles::size, "3m"), level(3 << 20)},
        {"lower-case g", with(&IndexFiles::size, "1g"), level(std::uint64_t{1} << 30)},
        {"blanks around number and suffix", with(&IndexFiles::size, " 2 M \n"), level(2 << 20)},
        {"plus sign", with(&IndexFiles::size, "+4K"), level(4096)},
        {"largest size", with(&IndexFiles::size, "16777215G"), level(std::uint64_t{16777215} << 30)},
        {"size 0K", with(&IndexFiles::size, "0K\n"), std::nullopt},
        {"size 0", with(&IndexFiles::size, "0\n"), std::nullopt},
        {"suffix alone", with(&IndexFiles::size, "K\n"), std::nullopt},
        {"empty size", with(&IndexFiles::size, "\n"), std::nullopt},
        {"two-letter unit", with(&IndexFiles::size, "32KB\n"), std::nullopt},
        {"negative size", with(&IndexFiles::size, "-1K\n"), std::nullopt},
        {"product overflows", with(&IndexFiles::size, "17179869184G\n"), std::nullopt},
        {"number overflows", with(&IndexFiles::size, "18446744073709551616\n"), std::nullopt},
        {"size missing", with(&IndexFiles::size, std::nullopt), std::nullopt},
        {"size unreadable", with(&IndexFiles::size, unreadable), std::nullopt},
        {"size not UTF-8", with(&IndexFiles::size, "32K\xFF"), std::nullopt},
        {"level 2", with(&IndexFiles::level, "+2\n"), level(32768, 2)},
        {"level 3", with(&IndexFiles::level, "3"), level(32768, 3)},
        {"level 0", with(&IndexFiles::level, "0\n"), std::nullopt},
        {"level 4", with(&IndexFiles::level, "4\n"), std::nullopt},
        {"level missing", with(&IndexFiles::level, std::nullopt), std::nullopt},
        {"level unreadable", with(&IndexFiles::level, unreadable), std::nullopt},
        {"level not UTF-8", with(&IndexFiles::level, "\xC0\xB1"), std::nullopt},
        {"type DATA", with(&IndexFiles::type, "DATA\n"), level(32768)},
        {"type Unified", with(&IndexFiles::type, "Unified\n"), level(32768)},
        {"type uNiFiEd", with(&IndexFiles::type, "  uNiFiEd "), level(32768)},
        {"type Instruction", with(&IndexFiles::type, "Instruction\n"), std::nullopt},
        {"type other", with(&IndexFiles::type, "Dat\n"), std::nullopt},
        {"type empty", with(&IndexFiles::type, "\n"), std::nullopt},
        {"type missing keeps the entry", with(&IndexFiles::type, std::nullopt), level(32768)},
        {"type unreadable keeps the entry", with(&IndexFiles::type, unreadable), level(32768)},
        {"type not UTF-8 keeps the entry", with(&IndexFiles::type, "Instruction\xFF"), level(32768)},
        {"shared range", with(&IndexFiles::shared, "0-2,5\n"), level(32768, 1, 64, {0, 1, 2, 5})},
        {"shared empty", with(&IndexFiles::shared, "\n"), std::nullopt},
        {"shared unusable", with(&IndexFiles::shared, "x\n"), std::nullopt},
        {"shared missing", with(&IndexFiles::shared, std::nullopt), std::nullopt},
        {"shared unreadable", with(&IndexFiles::shared, unreadable), std::nullopt},
        {"line 128", with(&IndexFiles::line, "128\n"), level(32768, 1, 128)},
        {"line 0", with(&IndexFiles::line, "0\n"), level(32768, 1, std::nullopt)},
        {"line invalid", with(&IndexFiles::line, "sixty-four\n"), level(32768, 1, std::nullopt)},
        {"line missing", with(&IndexFiles::line, std::nullopt), level(32768, 1, std::nullopt)},
        {"line unreadable", with(&IndexFiles::line, unreadable), level(32768, 1, std::nullopt)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree tree;
        write_index(tree, "cpu/cpu0/cache/index0", c.files);
        Caches expected;
        if (c.expected) expected = std::vector<CacheLevel>{*c.expected};
        EXPECT_EQ(cache::detect(tree.path("cpu")), expected);
    }
}

// An entry is a duplicate only when level, size, line size and sharing list all match;
// the type takes no part.
TEST(GarvonCacheLinuxTest, DuplicatesAndNearDuplicates) {
    TempTree tree;
    write_index(tree, "cpu/cpu0/cache/index0", data("3", "8M", "0-1"));
    write_index(tree, "cpu/cpu1/cache/index0", {"3\n", "8192K\n", "Unified\n", "0,1\n", "64\n"});
    write_index(tree, "cpu/cpu1/cache/index1", data("3", "8M", "1,0"));
    write_index(tree, "cpu/cpu1/cache/index2", data("3", "8M", "0-1", "0\n"));
    write_index(tree, "cpu/cpu1/cache/index3", data("3", "8M", "0-1", "x\n"));
    write_index(tree, "cpu/cpu1/cache/index4", data("2", "8M", "0-1"));
    write_index(tree, "cpu/cpu1/cache/index5", data("3", "4M", "0-1"));
    write_index(tree, "cpu/cpu1/cache/index6", data("3", "8M", "0-1", "128\n"));

    Caches expected = std::vector<CacheLevel>{
        {64, {0, 1}, 8u << 20, 3},
        {64, {1, 0}, 8u << 20, 3},
        {std::nullopt, {0, 1}, 8u << 20, 3},  // index2; index3 (line absent too) is its duplicate
        {64, {0, 1}, 8u << 20, 2},
        {64, {0, 1}, 4u << 20, 3},
        {128, {0, 1}, 8u << 20, 3},
    };
    EXPECT_EQ(cache::detect(tree.path("cpu")), expected);
}

// Processors and indices are visited in numeric order, not name order; unreadable
// directories and names that are not UTF-8 contribute nothing.
TEST(GarvonCacheLinuxTest, ScanOrderAndUnreadableDirectories) {
    TempTree tree;
    for (int cpu : {0, 2, 10}) {
        std::string dir = "cpu/cpu" + std::to_string(cpu) + "/cache/";
        for (int index : {1, 2, 10}) {
            write_index(tree, dir + "index" + std::to_string(index),
                        data("1", std::to_string(cpu * 100 + index) + "K", std::to_string(cpu)));
        }
    }
    tree.write("cpu/cpu3/cache", "not a directory\n");
    tree.make_dir("cpu/cpu4");
    write_index(tree, "cpu/cpu5\xFF/cache/index0", data("1", "5K", "5"));
    write_index(tree, "cpu/cpu0/cache/index3\xFF", data("1", "6K", "0"));
    write_index(tree, "cpu/cpu0/cache/index+4", data("1", "7K", "0"));
    write_index(tree, "cpu/cpu+6/cache/index0", data("1", "8K", "6"));

    std::vector<CacheLevel> expected;
    for (std::uint32_t cpu : {0u, 2u, 6u, 10u}) {
        for (std::uint64_t index : {0ull, 1ull, 2ull, 4ull, 10ull}) {
            if (cpu == 6 && index == 0) expected.push_back({64, {6}, 8 * 1024, 1});
            if (cpu == 6) continue;
            if (index == 0) continue;
            if (index == 4) {
                if (cpu == 0) expected.push_back({64, {0}, 7 * 1024, 1});
                continue;
            }
            expected.push_back({64, {cpu}, (cpu * 100 + index) * 1024, 1});
        }
    }
    EXPECT_EQ(cache::detect(tree.path("cpu")), Caches(expected));
}

TEST(GarvonCacheLinuxTest, AbsentWhenNothingSurvives) {
    struct Case {
        std::string name;
        void (*build)(const TempTree&);
    };
    const std::vector<Case> cases = {
        {"no cpu root", [](const TempTree&) {}},
        {"cpu root is a file", [](const TempTree& tree) { tree.write("cpu", "x"); }},
        {"no processors", [](const TempTree& tree) { tree.make_dir("cpu/cpufreq"); }},
        {"no cache directories", [](const TempTree& tree) { tree.make_dir("cpu/cpu0/topology"); }},
        {"only instruction caches",
         [](const TempTree& tree) {
             write_index(tree, "cpu/cpu0/cache/index0", {"1\n", "32K\n", "Instruction\n", "0\n", "64\n"});
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree tree;
        c.build(tree);
        EXPECT_EQ(cache::detect(tree.path("cpu")), std::nullopt);
    }
}

// 9 processors with 64 distinct entries each: the first 512 in processor and index order
// are kept and the scan ends there.
TEST(GarvonCacheLinuxTest, StopsAtFiveHundredTwelveEntries) {
    TempTree tree;
    std::vector<CacheLevel> expected;
    for (std::uint32_t cpu = 0; cpu < 9; ++cpu) {
        for (std::uint64_t index = 0; index < 64; ++index) {
            std::uint64_t kib = cpu * 64 + index + 1;
            write_index(tree, "cpu/cpu" + std::to_string(cpu) + "/cache/index" + std::to_string(index),
                        data("2", std::to_string(kib) + "K", std::to_string(cpu)));
            if (expected.size() < cache::max_cache_entries) expected.push_back({64, {cpu}, kib * 1024, 2});
        }
    }
    Caches caches = cache::detect(tree.path("cpu"));
    ASSERT_TRUE(caches.has_value());
    EXPECT_EQ(caches->size(), 512u);
    EXPECT_EQ(caches, Caches(expected));
}

}  // namespace
