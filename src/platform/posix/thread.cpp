#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/posix/proc_entries.h"

namespace ostrel::platform {

// Shared by the handle and the running thread; whichever lets go last frees it, so a thread
// that was released while still running can still report that it finished.
struct Thread {
    pthread_t handle{};
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    std::atomic<int> references{2};
    std::atomic<pid_t> threadId{0};
    std::atomic<bool> raisePriority{false};

    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;  // guarded by mutex
    bool joined = false;    // used by the handle's owner only
};

namespace {

void letGo(Thread* thread) {
    if (thread->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete thread;
    }
}

// Lowers the thread's nice value as far as the process is allowed (root: -20; others: down to
// the RLIMIT_NICE floor). Realtime policies are never used: a runaway realtime thread can
// freeze a machine.
bool lowerNice(pid_t threadId) {
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
    for (int nice = -20; nice < current; ++nice) {
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), nice) == 0) {
            return true;
        }
    }
    return false;
}

void* threadMain(void* raw) {
    Thread* thread = static_cast<Thread*>(raw);
    thread->threadId.store(gettid());
    // A raise asked for before the id was known is carried out here.
    if (thread->raisePriority.load()) {
        lowerNice(gettid());
    }
    thread->entry(thread->argument);
    {
        std::lock_guard<std::mutex> guard(thread->mutex);
        thread->finished = true;
        thread->finishedChanged.notify_all();
    }
    letGo(thread);
    return nullptr;
}

}  // namespace

Thread* threadCreate(ThreadEntry entry, void* argument) {
    Thread* thread = new Thread;
    thread->entry = entry;
    thread->argument = argument;
    if (pthread_create(&thread->handle, nullptr, threadMain, thread) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

bool threadRaisePriority(Thread* thread) {
    if (thread == nullptr) {
        return false;
    }
    thread->raisePriority.store(true);
    const pid_t threadId = thread->threadId.load();
    if (threadId == 0) {
        return true;  // the thread raises itself as it starts
    }
    return lowerNice(threadId);
}

bool threadJoin(Thread* thread, uint32_t timeoutMs) {
    if (thread == nullptr) {
        return true;
    }
    if (!thread->joined) {
        std::unique_lock<std::mutex> lock(thread->mutex);
        const auto finished = [thread] { return thread->finished; };
        if (timeoutMs == 0xFFFFFFFFu) {
            thread->finishedChanged.wait(lock, finished);
        } else if (!thread->finishedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                     finished)) {
            return false;
        }
        lock.unlock();
        // It has run its entry and is on its way out; the join takes only that last step.
        pthread_join(thread->handle, nullptr);
        thread->joined = true;
    }
    return true;
}

bool threadTerminate(Thread*) {
    return false;
}

void threadRelease(Thread* thread) {
    if (thread == nullptr) {
        return;
    }
    if (!thread->joined) {
        pthread_detach(thread->handle);
    }
    letGo(thread);
}

int threadCountInProcess() {
    return posix::countProcEntries("/proc/self/task");
}

}  // namespace ostrel::platform
