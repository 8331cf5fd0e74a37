// The executor's error types with their fixed display texts and debug forms. The debug
// form (the variant's name with its payload in parentheses, or its fields in braces) is
// what the executor's internal-error messages carry, as in
// "dravik global executor: for_each_index_with: SpawnFailed(Panicked)".
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace dravik_core::error {

enum class TaskErrorKind : std::uint8_t {
    Io,
    Network,
    FileSystem,
    PermissionDenied,
    NotFound,
    WouldBlock,
    Interrupted,
    InvalidInput,
    Other,
};
inline constexpr std::uint8_t task_error_kind_count = 9;

// One byte: the nine kinds of ExecutionFailed are 0 to 8, the other variants follow from 9
// in declaration order (Cancelled 9, Panicked 10, ...).
class TaskError {
public:
    enum class Variant : std::uint8_t {
        Cancelled,
        Panicked,
        Timeout,
        ResourceExhausted,
        InvalidOperation,
        ExecutionFailed,
        ExecutionTimeout,
        ResultNotFound,
        SpawnFailed,
        InvalidState,
        AlreadyCompleted,
    };

    static const TaskError Cancelled;
    static const TaskError Panicked;
    static const TaskError Timeout;
    static const TaskError ResourceExhausted;
    static const TaskError InvalidOperation;
    static const TaskError ExecutionTimeout;
    static const TaskError ResultNotFound;
    static const TaskError SpawnFailed;
    static const TaskError InvalidState;
    static const TaskError AlreadyCompleted;
    static constexpr TaskError ExecutionFailed(TaskErrorKind kind) noexcept {
        return TaskError(static_cast<std::uint8_t>(kind));
    }

    constexpr Variant variant() const noexcept {
        if (value_ < task_error_kind_count) return Variant::ExecutionFailed;
        std::uint8_t index = value_ - task_error_kind_count;
        // The variants after ExecutionFailed sit one place further in the enumeration.
        if (index >= static_cast<std::uint8_t>(Variant::ExecutionFailed)) ++index;
        return static_cast<Variant>(index);
    }
    // Requires: variant() is ExecutionFailed.
    constexpr TaskErrorKind kind() const noexcept { return static_cast<TaskErrorKind>(value_); }
    constexpr std::uint8_t value() const noexcept { return value_; }

    constexpr bool operator==(const TaskError&) const = default;

private:
    friend struct TaskErrorValues;
    constexpr explicit TaskError(std::uint8_t value) noexcept : value_(value) {}
    std::uint8_t value_;
};
static_assert(sizeof(TaskError) == 1);

struct TaskErrorValues {
    static constexpr TaskError of(TaskError::Variant variant) noexcept {
        auto index = static_cast<std::uint8_t>(variant);
        if (index > static_cast<std::uint8_t>(TaskError::Variant::ExecutionFailed)) --index;
        return TaskError(static_cast<std::uint8_t>(task_error_kind_count + index));
    }
};
inline constexpr TaskError TaskError::Cancelled = TaskErrorValues::of(Variant::Cancelled);
inline constexpr TaskError TaskError::Panicked = TaskErrorValues::of(Variant::Panicked);
inline constexpr TaskError TaskError::Timeout = TaskErrorValues::of(Variant::Timeout);
inline constexpr TaskError TaskError::ResourceExhausted = TaskErrorValues::of(Variant::ResourceExhausted);
inline constexpr TaskError TaskError::InvalidOperation = TaskErrorValues::of(Variant::InvalidOperation);
inline constexpr TaskError TaskError::ExecutionTimeout = TaskErrorValues::of(Variant::ExecutionTimeout);
inline constexpr TaskError TaskError::ResultNotFound = TaskErrorValues::of(Variant::ResultNotFound);
inline constexpr TaskError TaskError::SpawnFailed = TaskErrorValues::of(Variant::SpawnFailed);
inline constexpr TaskError TaskError::InvalidState = TaskErrorValues::of(Variant::InvalidState);
inline constexpr TaskError TaskError::AlreadyCompleted = TaskErrorValues::of(Variant::AlreadyCompleted);

struct SchedulerError {
    enum class Variant : std::uint8_t { QueueFull, QueueEmpty, StealFailed, InvalidState, SystemFailure, InvalidScheduler };
    Variant variant;
    std::string text;  // SystemFailure only

    bool operator==(const SchedulerError&) const = default;
};

struct PlacementFailure {
    enum class Variant : std::uint8_t { Unsupported, OutOfRange, Os };
    Variant variant;
    std::int32_t code = 0;  // Os only

    bool operator==(const PlacementFailure&) const = default;
};

// The variants of ExecutorError, in their fixed order.
namespace executor_error {

struct ShuttingDown {};
struct AlreadyRunning {};
struct InvalidConfiguration {};
struct InvalidLocalQueueInitialCapacity {
    std::uint64_t requested;
};
struct ThreadPoolCreationFailed {};
struct SpawnFailed {
    TaskError error;
};
struct ResourceExhausted {
    std::string text;
};
struct PerformanceAnomaly {
    std::string text;
};
struct NoSchedulerAvailable {};
struct SchedulerError {
    error::SchedulerError error;
};
struct WorkerPlacementFailed {
    std::uint64_t worker;
    std::uint32_t processor;
    PlacementFailure cause;
};

}  // namespace executor_error

using ExecutorError =
    std::variant<executor_error::ShuttingDown, executor_error::AlreadyRunning, executor_error::InvalidConfiguration,
                 executor_error::InvalidLocalQueueInitialCapacity, executor_error::ThreadPoolCreationFailed,
                 executor_error::SpawnFailed, executor_error::ResourceExhausted, executor_error::PerformanceAnomaly,
                 executor_error::NoSchedulerAvailable, executor_error::SchedulerError,
                 executor_error::WorkerPlacementFailed>;

std::string display(TaskErrorKind kind);
std::string display(TaskError error);
std::string display(const SchedulerError& error);
std::string display(const PlacementFailure& failure);
std::string display(const ExecutorError& error);

std::string debug(TaskErrorKind kind);
std::string debug(TaskError error);
std::string debug(const SchedulerError& error);
std::string debug(const PlacementFailure& failure);
std::string debug(const ExecutorError& error);

// The error that caused this one: the cause of WorkerPlacementFailed, else none.
const PlacementFailure* source(const ExecutorError& error) noexcept;

}  // namespace dravik_core::error
