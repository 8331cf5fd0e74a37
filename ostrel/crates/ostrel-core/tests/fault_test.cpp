#include "ostrel_core/fault.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>

namespace {

TEST(OstrelFaultDeathTest, AllocationFailureNamesTheSizeAndAborts) {
    EXPECT_EXIT(ostrel_core::fault::report_allocation_failure(4096), testing::KilledBySignal(SIGABRT),
                "^memory allocation of 4096 bytes failed\n$");
    EXPECT_EXIT(ostrel_core::fault::report_allocation_failure(UINT64_MAX), testing::KilledBySignal(SIGABRT),
                "memory allocation of 18446744073709551615 bytes failed");
}

TEST(OstrelFaultDeathTest, CorruptionAbortsWithoutAMessage) {
    EXPECT_EXIT(ostrel_core::fault::abort_corrupted(), testing::KilledBySignal(SIGABRT), "^$");
}

}  // namespace
