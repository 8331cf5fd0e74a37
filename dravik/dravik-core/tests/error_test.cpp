#include "dravik_core/error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace dravik_core::error;
namespace ee = dravik_core::error::executor_error;

TEST(DravikErrorTest, ExecutorErrorDisplayAndDebugTexts) {
    struct Row {
        ExecutorError error;
        const char* display;
        const char* debug;
    };
    const Row rows[] = {
        {ee::ShuttingDown{}, "Executor is shutting down", "ShuttingDown"},
        {ee::AlreadyRunning{}, "Executor is already running", "AlreadyRunning"},
        {ee::InvalidConfiguration{}, "Invalid executor configuration", "InvalidConfiguration"},
        {ee::InvalidLocalQueueInitialCapacity{18446744073709551615u},
         "local queue initial capacity 18446744073709551615 cannot form a supported allocation",
         "InvalidLocalQueueInitialCapacity { requested: 18446744073709551615 }"},
        {ee::ThreadPoolCreationFailed{}, "Failed to create thread pool", "ThreadPoolCreationFailed"},
        {ee::SpawnFailed{TaskError::Panicked}, "Failed to spawn task: Task panicked during execution",
         "SpawnFailed(Panicked)"},
        {ee::SpawnFailed{TaskError::Cancelled}, "Failed to spawn task: Task was cancelled", "SpawnFailed(Cancelled)"},
        {ee::SpawnFailed{TaskError::ExecutionFailed(TaskErrorKind::Io)},
         "Failed to spawn task: Task execution failed: I/O error", "SpawnFailed(ExecutionFailed(Io))"},
        {ee::ResourceExhausted{"worker 2 scheduler admission queue is full"},
         "Resource exhausted: worker 2 scheduler admission queue is full",
         "ResourceExhausted(\"worker 2 scheduler admission queue is full\")"},
        {ee::PerformanceAnomaly{"a \"slow\"\tpath\\"}, "Performance anomaly: a \"slow\"\tpath\\",
         "PerformanceAnomaly(\"a \\\"slow\\\"\\tpath\\\\\")"},
        {ee::NoSchedulerAvailable{}, "No scheduler available", "NoSchedulerAvailable"},
        {ee::SchedulerError{{SchedulerError::Variant::QueueFull, ""}}, "Scheduler error: Task queue is full",
         "SchedulerError(QueueFull)"},
        {ee::SchedulerError{{SchedulerError::Variant::SystemFailure, "no\x01"}},
         "Scheduler error: System failure: no\x01", "SchedulerError(SystemFailure(\"no\\u{1}\"))"},
        {ee::WorkerPlacementFailed{3, 7, {PlacementFailure::Variant::Os, -22}},
         "worker 3 could not be pinned to logical processor 7",
         "WorkerPlacementFailed { worker: 3, processor: 7, cause: Os { code: -22 } }"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.debug);
        EXPECT_EQ(display(row.error), row.display);
        EXPECT_EQ(debug(row.error), row.debug);
    }
}

TEST(DravikErrorTest, TaskErrorTextsAndOneByteValues) {
    struct Row {
        TaskError error;
        std::uint8_t value;
        const char* display;
        const char* debug;
    };
    const Row rows[] = {
        {TaskError::ExecutionFailed(TaskErrorKind::Io), 0, "Task execution failed: I/O error", "ExecutionFailed(Io)"},
        {TaskError::ExecutionFailed(TaskErrorKind::Other), 8, "Task execution failed: Other error",
         "ExecutionFailed(Other)"},
        {TaskError::Cancelled, 9, "Task was cancelled", "Cancelled"},
        {TaskError::Panicked, 10, "Task panicked during execution", "Panicked"},
        {TaskError::Timeout, 11, "Task exceeded execution time limit", "Timeout"},
        {TaskError::ResourceExhausted, 12, "Task failed due to resource exhaustion", "ResourceExhausted"},
        {TaskError::InvalidOperation, 13, "Invalid operation", "InvalidOperation"},
        {TaskError::ExecutionTimeout, 14, "Task execution timed out", "ExecutionTimeout"},
        {TaskError::ResultNotFound, 15, "Task result not found", "ResultNotFound"},
        {TaskError::SpawnFailed, 16, "Task failed to spawn", "SpawnFailed"},
        {TaskError::InvalidState, 17, "Task is not in a valid state for the operation", "InvalidState"},
        {TaskError::AlreadyCompleted, 18, "Task has already completed", "AlreadyCompleted"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.debug);
        EXPECT_EQ(row.error.value(), row.value);
        EXPECT_EQ(display(row.error), row.display);
        EXPECT_EQ(debug(row.error), row.debug);
    }
    EXPECT_EQ(TaskError::Panicked.variant(), TaskError::Variant::Panicked);
    EXPECT_EQ(TaskError::ExecutionTimeout.variant(), TaskError::Variant::ExecutionTimeout);
    EXPECT_EQ(TaskError::ExecutionFailed(TaskErrorKind::NotFound).kind(), TaskErrorKind::NotFound);
}

TEST(DravikErrorTest, KindSchedulerAndPlacementTexts) {
    const char* kinds[][2] = {{"I/O error", "Io"},
                              {"Network error", "Network"},
                              {"File system error", "FileSystem"},
                              {"Permission denied", "PermissionDenied"},
                              {"Resource not found", "NotFound"},
                              {"Operation would block", "WouldBlock"},
                              {"Operation interrupted", "Interrupted"},
                              {"Invalid input", "InvalidInput"},
                              {"Other error", "Other"}};
    for (std::uint8_t k = 0; k < task_error_kind_count; ++k) {
        SCOPED_TRACE(kinds[k][1]);
        EXPECT_EQ(display(static_cast<TaskErrorKind>(k)), kinds[k][0]);
        EXPECT_EQ(debug(static_cast<TaskErrorKind>(k)), kinds[k][1]);
    }
    using V = SchedulerError::Variant;
    EXPECT_EQ(display(SchedulerError{V::QueueEmpty, ""}), "Task queue is empty");
    EXPECT_EQ(display(SchedulerError{V::StealFailed, ""}), "Work stealing failed");
    EXPECT_EQ(display(SchedulerError{V::InvalidState, ""}), "Invalid scheduler state");
    EXPECT_EQ(display(SchedulerError{V::SystemFailure, "x"}), "System failure: x");
    EXPECT_EQ(display(SchedulerError{V::InvalidScheduler, ""}), "Invalid scheduler reference");
    using P = PlacementFailure::Variant;
    EXPECT_EQ(display(PlacementFailure{P::Unsupported}), "thread binding is unsupported on this target");
    EXPECT_EQ(display(PlacementFailure{P::OutOfRange}), "the processor is outside the range this target can bind");
    EXPECT_EQ(display(PlacementFailure{P::Os, 1}), "the operating system refused the binding (error code 1)");
    EXPECT_EQ(debug(PlacementFailure{P::Unsupported}), "Unsupported");
}

TEST(DravikErrorTest, OnlyPlacementFailuresHaveASource) {
    ExecutorError placement = ee::WorkerPlacementFailed{1, 2, {PlacementFailure::Variant::OutOfRange}};
    ASSERT_NE(source(placement), nullptr);
    EXPECT_EQ(source(placement)->variant, PlacementFailure::Variant::OutOfRange);
    EXPECT_EQ(source(ExecutorError(ee::SpawnFailed{TaskError::Panicked})), nullptr);
    EXPECT_EQ(source(ExecutorError(ee::ShuttingDown{})), nullptr);
}

}  // namespace
