// A fixed-size ring that hands values from one thread to another without a lock. The thread that
// fetches files from the driver must never wait for a lock that a writer holds: the writers run
// at a lower priority, and a writer preempted while holding the file queue's lock kept the fetch
// waiting up to 4.5 ms (measured), long enough for the driver to replace the next file.
//
// One producer and one consumer at a time. Several threads may take turns on one side, as long as
// each turn ends with a release and the next starts with an acquire on some other atomic (the
// writers' in-order commit count; the file queue's mutex).
//
// Written here because the ring in Debian's Boost (1.74, spsc_queue) copies what it is given: a
// file's 512 kB of data must be moved, not copied, on the fetching thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

namespace ostrel::session {

template <typename Value>
class HandoffRing {
  public:
    explicit HandoffRing(size_t capacity) : slots_(capacity + 1) {}
    HandoffRing(const HandoffRing&) = delete;
    HandoffRing& operator=(const HandoffRing&) = delete;

    // The producer's side: false (and value untouched) when the ring is full.
    bool push(Value& value) {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t next = (tail + 1) % slots_.size();
        if (next == head_.load(std::memory_order_acquire)) {
            return false;
        }
        slots_[tail] = std::move(value);
        tail_.store(next, std::memory_order_release);
        return true;
    }

    // The consumer's side: false when the ring is empty.
    bool pop(Value* value) {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return false;
        }
        *value = std::move(slots_[head]);
        slots_[head] = Value();  // what the slot held is released now, not when it is reused
        head_.store((head + 1) % slots_.size(), std::memory_order_release);
        return true;
    }

    // Either side, as a hint: the other may change it at any moment.
    bool empty() const {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }

  private:
    std::vector<Value> slots_;  // one more than the capacity: a full ring never looks empty
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
};

}  // namespace ostrel::session
