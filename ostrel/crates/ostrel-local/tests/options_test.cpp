#include "ostrel_local/options.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "ostrel_core/options.hpp"
#include "ostrel_decay/engine.hpp"
#include "ostrel_prof/control.hpp"
#include "ostrel_testing/deadline.hpp"
#include "ostrel_testing/process.hpp"

namespace {

namespace options = ostrel_local::options;
namespace core = ostrel_core::options;

constexpr const char* probe = "OSTREL_TEST_OPTION_VALUE";

// Sets (or, for nullptr, unsets) a variable for the current scope.
struct Env {
    Env(const char* name, const char* value) : name(name) {
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~Env() { unsetenv(name); }
    const char* name;
};

TEST(OstrelOptionsTest, BooleanValues) {
    struct Row {
        const char* value;
        std::optional<bool> expected;
    };
    const Row rows[] = {
        {"1", true},
        {"true", true},
        {"TrUe", true},
        {"  FALSE  ", false},
        {"\tfalse\n", false},
        {"0", false},
        {"\xc2\xa0true\xe3\x80\x80", true},  // no-break space and ideographic space
        {"1                              ", true},   // 31 bytes
        {"1                               ", std::nullopt},  // 32 bytes
        {"no", std::nullopt},
        {"yes", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"01", std::nullopt},
        {"tru e", std::nullopt},
        {"+1", std::nullopt},
        {"\xfftrue", std::nullopt},      // not UTF-8
        {"true\xc0\xaf", std::nullopt},  // overlong encoding
        {"\xed\xa0\x80", std::nullopt},  // surrogate
        {nullptr, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value ? row.value : "(unset)");
        Env env(probe, row.value);
        EXPECT_EQ(options::parse_env_bool(probe), row.expected);
    }
}

TEST(OstrelOptionsTest, UnsignedValues) {
    struct Row {
        const char* value;
        std::optional<std::uint64_t> expected;
    };
    const Row rows[] = {
        {"+250", 250},
        {"250", 250},
        {" 42\n", 42},
        {"00042", 42},
        {"0", 0},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"-250", std::nullopt},
        {"-0", std::nullopt},
        {"250ms", std::nullopt},
        {"2 50", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"++1", std::nullopt},
        {"", std::nullopt},
        {"0x10", std::nullopt},
        {"\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE
        {"1234567890123456789012345678901234567890", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value ? row.value : "(unset)");
        Env env(probe, row.value);
        EXPECT_EQ(options::parse_env_usize(probe), row.expected);
    }
}

TEST(OstrelOptionsTest, RetainedSegmentLimitIsClampedTo1024) {
    struct Row {
        const char* value;
        std::uint64_t expected;
    };
    for (Row row : {Row{"5000", 1024}, Row{"0", 0}, Row{"17", 17}, Row{"-3", 1024}, Row{"lots", 1024}}) {
        SCOPED_TRACE(row.value);
        core::MAX_RETAINED_SEGMENTS.store(core::RETAINED_SEGMENTS_CEILING);
        Env env("OSTREL_MAX_RETAINED_SEGMENTS", row.value);
        options::detail::apply_options_from_env();
        EXPECT_EQ(core::MAX_RETAINED_SEGMENTS.load(), row.expected);
    }
    core::MAX_RETAINED_SEGMENTS.store(core::RETAINED_SEGMENTS_CEILING);
}

TEST(OstrelOptionsTest, HugePageHint) {
    struct Row {
        const char* value;
        bool expected;
    };
    for (Row row : {Row{" FALSE ", false}, Row{"no", true}, Row{"0", false}, Row{"true", true}}) {
        SCOPED_TRACE(row.value);
        core::ENABLE_HUGEPAGE_HINT.store(true);
        Env env("OSTREL_ENABLE_HUGEPAGE_HINT", row.value);
        options::detail::apply_options_from_env();
        EXPECT_EQ(core::ENABLE_HUGEPAGE_HINT.load(), row.expected);
    }
    core::ENABLE_HUGEPAGE_HINT.store(true);
}

TEST(OstrelOptionsTest, UnusableCadenceStartsNoThread) {
    for (const char* value : {"-250", "250ms", "1234567890123456789012345678901234567890", "0"}) {
        SCOPED_TRACE(value);
        Env env("OSTREL_PURGE_CADENCE_MS", value);
        options::detail::apply_options_from_env();
        EXPECT_EQ(core::PURGE_CADENCE_MS.load(), 0u);
        EXPECT_EQ(ostrel_decay::engine::SPAWNED.load(), 0);
    }
}

TEST(OstrelOptionsTest, CadenceStartsTheDecayThread) {
    OSTREL_IN_FRESH_PROCESS({
        Env env("OSTREL_PURGE_CADENCE_MS", "+250");
        options::init_options_from_env();
        EXPECT_EQ(core::PURGE_CADENCE_MS.load(), 250u);
        EXPECT_TRUE(ostrel_testing::eventually([] { return ostrel_testing::threads_named("ostrel-decay") == 1; }))
            << "hang: no decay thread appeared";
    });
}

TEST(OstrelOptionsTest, ProfilerSwitches) {
    OSTREL_IN_FRESH_PROCESS({
        Env prof("OSTREL_PROF", "1");
        Env interval("OSTREL_PROF_SAMPLE_INTERVAL", nullptr);
        options::detail::apply_options_from_env();
        EXPECT_TRUE(ostrel_prof::control::PROFILING_ACTIVE.load());
        EXPECT_FALSE(ostrel_prof::control::LEAK_DETECTOR_ACTIVE.load());
        EXPECT_EQ(ostrel_prof::control::SAMPLE_INTERVAL.load(), 524288u);
    });
    OSTREL_IN_FRESH_PROCESS({
        Env prof("OSTREL_PROF", "true");
        Env interval("OSTREL_PROF_SAMPLE_INTERVAL", "4096");
        Env leaks("OSTREL_LEAK_DETECTOR", "TRUE");
        options::detail::apply_options_from_env();
        EXPECT_TRUE(ostrel_prof::control::PROFILING_ACTIVE.load());
        EXPECT_TRUE(ostrel_prof::control::LEAK_DETECTOR_ACTIVE.load());
        EXPECT_EQ(ostrel_prof::control::SAMPLE_INTERVAL.load(), 4096u);
    });
    OSTREL_IN_FRESH_PROCESS({
        Env prof("OSTREL_PROF", "0");
        Env interval("OSTREL_PROF_SAMPLE_INTERVAL", "4096");
        Env leaks("OSTREL_LEAK_DETECTOR", "yes");
        options::detail::apply_options_from_env();
        EXPECT_FALSE(ostrel_prof::control::PROFILING_OR_HOOKS_ACTIVE.load());
        EXPECT_EQ(ostrel_prof::control::SAMPLE_INTERVAL.load(), 524288u) << "read only when OSTREL_PROF is true";
    });
}

TEST(OstrelOptionsTest, OptionsAreReadOncePerProcess) {
    OSTREL_IN_FRESH_PROCESS({
        {
            Env retained("OSTREL_MAX_RETAINED_SEGMENTS", "7");
            options::init_options_from_env();
        }
        EXPECT_EQ(options::OPTIONS_INIT.load(), 1);
        EXPECT_EQ(core::MAX_RETAINED_SEGMENTS.load(), 7u);
        Env retained("OSTREL_MAX_RETAINED_SEGMENTS", "9");
        options::init_options_from_env();
        EXPECT_EQ(core::MAX_RETAINED_SEGMENTS.load(), 7u);
    });
}

}  // namespace
