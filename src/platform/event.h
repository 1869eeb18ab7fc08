// Manual-reset events: once set they stay signalled until reset.
#pragma once

#include <cstdint>

namespace ostrel::platform {

inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

class Event {
  public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // Waits up to timeoutMs (0: test only, kWaitForever: no limit); true when signalled.
    bool wait(uint32_t timeoutMs);

  private:
    friend int waitAny(Event& first, Event& second, uint32_t timeoutMs);
    struct Impl;
    Impl* impl_;
};

// Waits for either event; 0 or 1 names the one signalled (the first wins when both are), -1
// means the time ran out.
int waitAny(Event& first, Event& second, uint32_t timeoutMs);

}  // namespace ostrel::platform
