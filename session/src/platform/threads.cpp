#include "platform/threads.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace ostrel::session::platform {

namespace {

// The kernel's struct sched_attr (its first version, 48 bytes). The kernel's own header cannot be
// included beside <sched.h>: both define struct sched_param.
struct SchedulingAttributes {
    uint32_t size = sizeof(SchedulingAttributes);
    uint32_t sched_policy = 0;
    uint64_t sched_flags = 0;
    int32_t sched_nice = 0;
    uint32_t sched_priority = 0;
    uint64_t sched_runtime = 0;
    uint64_t sched_deadline = 0;
    uint64_t sched_period = 0;
};
static_assert(sizeof(SchedulingAttributes) == 48);

// SCHED_FLAG_RESET_ON_FORK, from the same kernel header.
constexpr uint64_t kResetOnFork = 0x01;

}  // namespace

void nameThisThread(const char* name) {
    char kept[16] = {};
    for (int index = 0; index < 15 && name[index] != '\0'; ++index) {
        kept[index] = name[index];
    }
    pthread_setname_np(pthread_self(), kept);
}

void makeThisThreadBackground(int niceness) {
    // Without this a woken worker may take the processor from the thread it woke (the fetch,
    // which hands it a file), and the fetch then waits for the worker's time slice to end.
    const sched_param parameters{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
    // On Linux a nice value belongs to the thread, named by its kernel id.
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, thread);
    if (errno == 0) {
        setpriority(PRIO_PROCESS, thread, std::min(current + niceness, 19));
    }
}

const char* name(WakeupPriority priority) {
    switch (priority) {
        case WakeupPriority::RealTime:
            return "real-time";
        case WakeupPriority::ShortSlice:
            return "short slice";
        case WakeupPriority::Ordinary:
            break;
    }
    return "ordinary";
}

WakeupPriority askForPromptWakeups() {
    // glibc has no wrapper for these calls. The current attributes are read first so that a
    // thread left ordinary keeps its policy and nice value.
    SchedulingAttributes attributes;
    if (syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) != 0) {
        return WakeupPriority::Ordinary;
    }
    if (attributes.sched_policy == SCHED_FIFO || attributes.sched_policy == SCHED_RR) {
        return WakeupPriority::RealTime;
    }
    // A woken real-time thread takes the processor from any ordinary thread at once, whatever
    // their nice values, slices or past shares, and on the core that runs the lowest priority.
    // Priority 1, the lowest: interrupt threads and other real-time work keep precedence. A
    // thread started from this one is ordinary again.
    SchedulingAttributes realTime;
    realTime.sched_policy = SCHED_FIFO;
    realTime.sched_priority = 1;
    realTime.sched_flags = kResetOnFork;
    if (syscall(SYS_sched_setattr, 0, &realTime, 0) == 0) {
        return WakeupPriority::RealTime;
    }
    if (attributes.sched_policy != SCHED_OTHER && attributes.sched_policy != SCHED_BATCH) {
        return WakeupPriority::Ordinary;
    }
    // Otherwise the shortest slice the kernel takes. The thread does little per wake-up (well
    // under this), so the slice costs it nothing, and a woken thread with a shorter slice than
    // the one running preempts it, once it has not had more than its share.
    constexpr uint64_t kSliceNanoseconds = 100'000;
    attributes.size = sizeof attributes;
    attributes.sched_flags = 0;
    attributes.sched_runtime = kSliceNanoseconds;
    if (syscall(SYS_sched_setattr, 0, &attributes, 0) != 0) {
        return WakeupPriority::Ordinary;
    }
    // Kernels without per-thread slices accept the call and ignore the request: read it back.
    SchedulingAttributes granted;
    const bool shortSlice = syscall(SYS_sched_getattr, 0, &granted, sizeof granted, 0) == 0 &&
                            granted.sched_runtime == kSliceNanoseconds;
    return shortSlice ? WakeupPriority::ShortSlice : WakeupPriority::Ordinary;
}

std::vector<int> processorsOfThisThread() {
    std::vector<int> processors;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pthread_getaffinity_np(pthread_self(), sizeof set, &set) != 0) {
        return processors;
    }
    for (int processor = 0; processor < CPU_SETSIZE; ++processor) {
        if (CPU_ISSET(processor, &set)) {
            processors.push_back(processor);
        }
    }
    return processors;
}

int processorNow() {
    return sched_getcpu();
}

bool keepThisThreadOn(const std::vector<int>& processors) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int processor : processors) {
        if (processor < 0 || processor >= CPU_SETSIZE) {
            return false;
        }
        CPU_SET(processor, &set);
    }
    return !processors.empty() && pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

}  // namespace ostrel::session::platform
