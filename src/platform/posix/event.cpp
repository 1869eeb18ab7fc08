#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ostrel::platform {
namespace {

// A waitAny call in progress. It hangs one Registration on each of the two events, so that
// set() on either wakes it; each event keeps its registrations in a list that needs no memory
// of its own.
struct AnyWaiter {
    std::mutex mutex;
    std::condition_variable wake;
    bool woken = false;
};

struct Registration {
    AnyWaiter* waiter = nullptr;
    Registration* previous = nullptr;
    Registration* next = nullptr;
};

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(uint32_t timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

struct Event::Impl {
    std::mutex mutex;
    std::condition_variable signalled;
    bool isSet = false;
    Registration* registrations = nullptr;  // guarded by mutex

    void attach(Registration* registration) {
        std::lock_guard<std::mutex> guard(mutex);
        registration->next = registrations;
        if (registrations != nullptr) {
            registrations->previous = registration;
        }
        registrations = registration;
    }

    void detach(Registration* registration) {
        std::lock_guard<std::mutex> guard(mutex);
        if (registration->previous != nullptr) {
            registration->previous->next = registration->next;
        } else {
            registrations = registration->next;
        }
        if (registration->next != nullptr) {
            registration->next->previous = registration->previous;
        }
    }

    bool test() {
        std::lock_guard<std::mutex> guard(mutex);
        return isSet;
    }
};

Event::Event() : impl_(new Impl) {}

Event::~Event() {
    delete impl_;
}

void Event::set() {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->isSet = true;
    impl_->signalled.notify_all();
    // Lock order is event, then waiter; waitAny never holds its waiter's lock while it takes an
    // event's lock, and it detaches under the event's lock before its waiter goes away.
    for (Registration* r = impl_->registrations; r != nullptr; r = r->next) {
        std::lock_guard<std::mutex> waiterGuard(r->waiter->mutex);
        r->waiter->woken = true;
        r->waiter->wake.notify_all();
    }
}

void Event::reset() {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->isSet = false;
}

bool Event::wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    const auto isSet = [this] { return impl_->isSet; };
    if (timeoutMs == kWaitForever) {
        impl_->signalled.wait(lock, isSet);
        return true;
    }
    return impl_->signalled.wait_until(lock, deadlineAfter(timeoutMs), isSet);
}

int waitAny(Event& first, Event& second, uint32_t timeoutMs) {
    AnyWaiter waiter;
    Registration onFirst{&waiter};
    Registration onSecond{&waiter};
    first.impl_->attach(&onFirst);
    second.impl_->attach(&onSecond);

    const Clock::time_point deadline = deadlineAfter(timeoutMs);
    int result = -1;
    for (;;) {
        // Both are tested on every round, the first before the second, so the first wins a tie.
        if (first.impl_->test()) {
            result = 0;
            break;
        }
        if (second.impl_->test()) {
            result = 1;
            break;
        }
        std::unique_lock<std::mutex> lock(waiter.mutex);
        const auto woken = [&waiter] { return waiter.woken; };
        if (timeoutMs == kWaitForever) {
            waiter.wake.wait(lock, woken);
        } else if (!waiter.wake.wait_until(lock, deadline, woken)) {
            break;
        }
        // A set() followed by a reset() wakes us for nothing; look again.
        waiter.woken = false;
    }

    first.impl_->detach(&onFirst);
    second.impl_->detach(&onSecond);
    return result;
}

}  // namespace ostrel::platform
