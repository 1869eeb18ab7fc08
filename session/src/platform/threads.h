// The session's own threads as the operating system sees them: their names, and how promptly the
// scheduler runs them. These are hints: where the system refuses one, the thread runs as before.
#pragma once

#include <vector>

namespace ostrel::session::platform {

// Names the calling thread for a person watching the process (top -H, ps -L); at most 15
// characters are kept.
void nameThisThread(const char* name);

// Makes the calling thread a background one: its priority lowered by `niceness` steps (never
// below the lowest), and marked as a batch thread, which the scheduler never lets preempt
// another thread when it wakes. It keeps its share of the processor: under load it is slower,
// never stopped.
void makeThisThreadBackground(int niceness);

// How promptly a thread that asked for it runs once woken.
enum class WakeupPriority {
    RealTime,    // a real-time thread: it preempts every ordinary thread as soon as it wakes
    ShortSlice,  // an ordinary thread with the kernel's shortest slice: it preempts longer-sliced
                 // threads when it wakes, unless it has just had more than its share
    Ordinary,    // as before: it may wait until the running thread's slice ends
};

// "real-time", "short slice" or "ordinary", as the run's summary records it.
const char* name(WakeupPriority priority);

// Asks that the calling thread, once woken, runs at once rather than after the thread that holds
// the processor has used its time slice. It first asks for the lowest real-time priority, which
// the system grants to root, to a process with CAP_SYS_NICE, or where RLIMIT_RTPRIO is at least 1
// (`ulimit -r`, LimitRTPRIO= in a service unit). Otherwise it asks for the kernel's shortest slice
// (Linux 6.12 on). Only for a thread that does little per wake-up and bounds every wait: a
// real-time thread that never blocked would keep a core from everything else but the kernel's
// guaranteed share for ordinary threads. Threads it starts do not inherit the priority.
WakeupPriority askForPromptWakeups();

// The processors the calling thread may run on, in ascending order (empty when the system does
// not say).
std::vector<int> processorsOfThisThread();
// The processor the calling thread runs on now, -1 when the system does not say.
int processorNow();
// Lets the calling thread run on these processors only (all of them again with the list that
// processorsOfThisThread() gave); false when the system refuses.
bool keepThisThreadOn(const std::vector<int>& processors);

}  // namespace ostrel::session::platform
