#include "acquisition/thread_base.h"

#include "diag/trace.h"

namespace ostrel {

CThreadBase::CThreadBase() = default;

CThreadBase::~CThreadBase() {
    if (threadHandle != nullptr) {
        platform::threadRelease(threadHandle);
    }
}

unsigned CThreadBase::threadEntry(void* object) {
    return static_cast<CThreadBase*>(object)->ThreadProc();
}

bool CThreadBase::Start() {
    startedEvent.reset();
    startFailedEvent.reset();
    killEvent.reset();
    doneEvent.reset();

    // running is set before the thread exists, so that a procedure that ends before this
    // function resumes leaves it false rather than being overwritten afterwards.
    const bool wasRunning = running.exchange(true);
    platform::Thread* thread = platform::threadCreate(&CThreadBase::threadEntry, this);
    if (thread == nullptr) {
        running.store(wasRunning);
        return false;
    }
    threadHandle = thread;
    platform::threadRaisePriority(thread);

    if (platform::waitAny(startedEvent, startFailedEvent, kStartHandshakeMs) == 0) {
        return true;
    }
    // The thread failed or never announced itself: make it leave at its first kill test.
    killEvent.set();
    running.store(false);
    return false;
}

void CThreadBase::Stop() {
    trace("CThreadBase::Stop()");
    if (threadHandle != nullptr) {
        killEvent.set();
        if (!doneEvent.wait(kStopGraceMs)) {
            trace("CThreadBase::Stop() timed out, terminating thread");
            if (!platform::threadTerminate(threadHandle)) {
                abandoned_.store(true);
            }
        } else if (!releaseFinishedThread()) {
            abandoned_.store(true);
        }
    }
    trace("CThreadBase::Stop() exiting");
}

bool CThreadBase::releaseFinishedThread() {
    if (threadHandle == nullptr) {
        return true;
    }
    if (!platform::threadJoin(threadHandle, kJoinAfterDoneMs)) {
        return false;
    }
    platform::threadRelease(threadHandle);
    threadHandle = nullptr;
    return true;
}

}  // namespace ostrel
