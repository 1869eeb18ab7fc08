// The worker-thread base: start handshake, kill request and a bounded stop.
#pragma once

#include <atomic>

#include "platform/event.h"
#include "platform/thread.h"

namespace ostrel {

inline constexpr uint32_t kStopGraceMs = 5000;
// Start waits this long for the new thread to announce itself; it does so as its first action.
inline constexpr uint32_t kStartHandshakeMs = 10000;
// After the done signal the thread only returns; joining it takes no longer than this.
inline constexpr uint32_t kJoinAfterDoneMs = 2000;

class CThreadBase {
  public:
    CThreadBase();
    virtual ~CThreadBase();
    CThreadBase(const CThreadBase&) = delete;
    CThreadBase& operator=(const CThreadBase&) = delete;

    // Starts a new thread and waits until its procedure has begun; true when it has.
    bool Start();
    // Asks the thread to end and waits up to kStopGraceMs for it. Where the platform cannot end a
    // thread by force, a thread that misses the grace is abandoned: see abandoned().
    void Stop();
    bool isRunning() const { return running.load(); }

    // A thread that neither ended nor could be ended by force. Its object must then be kept
    // alive, never freed, because the thread may still use it.
    bool abandoned() const { return abandoned_.load(); }

    // Waits for a thread that has signalled done to return and releases its handle; true when
    // no thread is left. Bounded by kJoinAfterDoneMs.
    bool releaseFinishedThread();

    bool killRequested() { return killEvent.wait(0); }
    platform::Event& killSignal() { return killEvent; }

  protected:
    // The derived class's procedure. Contract: signal startedEvent first; test killEvent where
    // the work can be abandoned; on leaving signal doneEvent, then clear running.
    virtual unsigned ThreadProc() = 0;

    platform::Thread* threadHandle = nullptr;
    platform::Event startedEvent;
    platform::Event startFailedEvent;
    platform::Event killEvent;
    platform::Event doneEvent;
    std::atomic<bool> running{false};

  private:
    static unsigned threadEntry(void* object);
    std::atomic<bool> abandoned_{false};
};

}  // namespace ostrel
