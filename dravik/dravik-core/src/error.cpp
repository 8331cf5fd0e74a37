#include "dravik_core/error.hpp"

#include <type_traits>

#include "kavrel/domain/error/error.hpp"

namespace dravik_core::error {

namespace {

using kavrel::domain::error::format_quoted;

using kavrel::domain::error::format_decimal;

struct Texts {
    const char* name;
    const char* display;
};

constexpr Texts kind_texts[] = {
    {"Io", "I/O error"},
    {"Network", "Network error"},
    {"FileSystem", "File system error"},
    {"PermissionDenied", "Permission denied"},
    {"NotFound", "Resource not found"},
    {"WouldBlock", "Operation would block"},
    {"Interrupted", "Operation interrupted"},
    {"InvalidInput", "Invalid input"},
    {"Other", "Other error"},
};

constexpr Texts task_texts[] = {
    {"Cancelled", "Task was cancelled"},
    {"Panicked", "Task panicked during execution"},
    {"Timeout", "Task exceeded execution time limit"},
    {"ResourceExhausted", "Task failed due to resource exhaustion"},
    {"InvalidOperation", "Invalid operation"},
    {"ExecutionFailed", "Task execution failed: "},
    {"ExecutionTimeout", "Task execution timed out"},
    {"ResultNotFound", "Task result not found"},
    {"SpawnFailed", "Task failed to spawn"},
    {"InvalidState", "Task is not in a valid state for the operation"},
    {"AlreadyCompleted", "Task has already completed"},
};

constexpr Texts scheduler_texts[] = {
    {"QueueFull", "Task queue is full"},
    {"QueueEmpty", "Task queue is empty"},
    {"StealFailed", "Work stealing failed"},
    {"InvalidState", "Invalid scheduler state"},
    {"SystemFailure", "System failure: "},
    {"InvalidScheduler", "Invalid scheduler reference"},
};

constexpr Texts placement_texts[] = {
    {"Unsupported", "thread binding is unsupported on this target"},
    {"OutOfRange", "the processor is outside the range this target can bind"},
    {"Os", "the operating system refused the binding (error code "},
};

const Texts& texts_of(TaskError error) { return task_texts[static_cast<std::size_t>(error.variant())]; }

}  // namespace

std::string display(TaskErrorKind kind) { return kind_texts[static_cast<std::size_t>(kind)].display; }
std::string debug(TaskErrorKind kind) { return kind_texts[static_cast<std::size_t>(kind)].name; }

std::string display(TaskError error) {
    std::string text = texts_of(error).display;
    if (error.variant() == TaskError::Variant::ExecutionFailed) text += display(error.kind());
    return text;
}
std::string debug(TaskError error) {
    std::string text = texts_of(error).name;
    if (error.variant() == TaskError::Variant::ExecutionFailed) {
        text += '(';
        text += debug(error.kind());
        text += ')';
    }
    return text;
}

std::string display(const SchedulerError& error) {
    std::string text = scheduler_texts[static_cast<std::size_t>(error.variant)].display;
    if (error.variant == SchedulerError::Variant::SystemFailure) text += error.text;
    return text;
}
std::string debug(const SchedulerError& error) {
    std::string text = scheduler_texts[static_cast<std::size_t>(error.variant)].name;
    if (error.variant == SchedulerError::Variant::SystemFailure) {
        text += '(';
        text += format_quoted(error.text);
        text += ')';
    }
    return text;
}

std::string display(const PlacementFailure& failure) {
    std::string text = placement_texts[static_cast<std::size_t>(failure.variant)].display;
    if (failure.variant == PlacementFailure::Variant::Os) {
        text += format_decimal(failure.code);
        text += ')';
    }
    return text;
}
std::string debug(const PlacementFailure& failure) {
    std::string text = placement_texts[static_cast<std::size_t>(failure.variant)].name;
    if (failure.variant == PlacementFailure::Variant::Os) {
        text += " { code: ";
        text += format_decimal(failure.code);
        text += " }";
    }
    return text;
}

std::string display(const ExecutorError& error) {
    return std::visit(
        [](const auto& e) -> std::string {
            using namespace executor_error;
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, ShuttingDown>) {
                return "Executor is shutting down";
            } else if constexpr (std::is_same_v<E, AlreadyRunning>) {
                return "Executor is already running";
            } else if constexpr (std::is_same_v<E, InvalidConfiguration>) {
                return "Invalid executor configuration";
            } else if constexpr (std::is_same_v<E, InvalidLocalQueueInitialCapacity>) {
                return "local queue initial capacity " + format_decimal(e.requested) + " cannot form a supported allocation";
            } else if constexpr (std::is_same_v<E, ThreadPoolCreationFailed>) {
                return "Failed to create thread pool";
            } else if constexpr (std::is_same_v<E, SpawnFailed>) {
                return "Failed to spawn task: " + display(e.error);
            } else if constexpr (std::is_same_v<E, ResourceExhausted>) {
                return "Resource exhausted: " + e.text;
            } else if constexpr (std::is_same_v<E, PerformanceAnomaly>) {
                return "Performance anomaly: " + e.text;
            } else if constexpr (std::is_same_v<E, NoSchedulerAvailable>) {
                return "No scheduler available";
            } else if constexpr (std::is_same_v<E, executor_error::SchedulerError>) {
                return "Scheduler error: " + display(e.error);
            } else {
                return "worker " + format_decimal(e.worker) + " could not be pinned to logical processor " +
                       format_decimal(e.processor);
            }
        },
        error);
}

std::string debug(const ExecutorError& error) {
    return std::visit(
        [](const auto& e) -> std::string {
            using namespace executor_error;
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, ShuttingDown>) {
                return "ShuttingDown";
            } else if constexpr (std::is_same_v<E, AlreadyRunning>) {
                return "AlreadyRunning";
            } else if constexpr (std::is_same_v<E, InvalidConfiguration>) {
                return "InvalidConfiguration";
            } else if constexpr (std::is_same_v<E, InvalidLocalQueueInitialCapacity>) {
                return "InvalidLocalQueueInitialCapacity { requested: " + format_decimal(e.requested) + " }";
            } else if constexpr (std::is_same_v<E, ThreadPoolCreationFailed>) {
                return "ThreadPoolCreationFailed";
            } else if constexpr (std::is_same_v<E, SpawnFailed>) {
                return "SpawnFailed(" + debug(e.error) + ")";
            } else if constexpr (std::is_same_v<E, ResourceExhausted>) {
                return "ResourceExhausted(" + format_quoted(e.text) + ")";
            } else if constexpr (std::is_same_v<E, PerformanceAnomaly>) {
                return "PerformanceAnomaly(" + format_quoted(e.text) + ")";
            } else if constexpr (std::is_same_v<E, NoSchedulerAvailable>) {
                return "NoSchedulerAvailable";
            } else if constexpr (std::is_same_v<E, executor_error::SchedulerError>) {
                return "SchedulerError(" + debug(e.error) + ")";
            } else {
                return "WorkerPlacementFailed { worker: " + format_decimal(e.worker) + ", processor: " + format_decimal(e.processor) +
                       ", cause: " + debug(e.cause) + " }";
            }
        },
        error);
}

const PlacementFailure* source(const ExecutorError& error) noexcept {
    if (auto* placement = std::get_if<executor_error::WorkerPlacementFailed>(&error)) return &placement->cause;
    return nullptr;
}

}  // namespace dravik_core::error
