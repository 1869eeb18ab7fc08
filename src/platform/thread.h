// Platform threads.
#pragma once

#include <cstdint>

namespace ostrel::platform {

struct Thread;  // opaque handle
using ThreadEntry = unsigned (*)(void* argument);

// Creates a thread that runs entry(argument) at once; null when it cannot be created.
Thread* threadCreate(ThreadEntry entry, void* argument);

// Raises the thread to the highest priority the platform allows without a realtime policy
// (time-critical on Windows). Failure is harmless: the thread keeps its normal priority.
bool threadRaisePriority(Thread* thread);

// Waits up to timeoutMs for the thread to finish; true once it has finished.
bool threadJoin(Thread* thread, uint32_t timeoutMs);

// Ends the thread by force. False where the platform cannot do that (POSIX): the thread then
// keeps running and the caller must abandon it without freeing what it uses.
bool threadTerminate(Thread* thread);

// Releases the handle. A thread that has not finished is detached and runs on.
void threadRelease(Thread* thread);

// Number of threads of this process, for leak checks in tests; -1 where unknown.
int threadCountInProcess();

}  // namespace ostrel::platform
