// The messages waiting to go out on one connection, and the faults that spoil them: a message is
// replaced, dropped, cut and then held, dropped or closed, trickled out in small chunks, or the
// connection is reset instead.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "ostrel_sim/simulator.h"

namespace ostrel::sim {

using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

Bytes textBytes(std::string_view text);

class OutputQueue {
  public:
    using Clock = std::chrono::steady_clock;

    // What the connection must do after a push or a flush.
    enum class Action {
        Keep,   // nothing
        Close,  // close the connection (FIN)
        Reset,  // reset the connection (RST)
    };

    // How a trickled message is paced.
    struct Pace {
        int bytes = 1;
        Clock::duration interval{};
    };

    // Queues `bytes` spoilt by `fault`. A muted queue drops it.
    Action push(Bytes bytes, Fault fault, Clock::time_point now);
    // Sends as much as the non-blocking socket `fd` takes now; what it does not take waits for
    // POLLOUT or, when trickled, for nextChunkAt().
    Action flush(int fd, Clock::time_point now, const Pace& pace);

    bool wantsToWrite() const;                             // a POLLOUT is worth waiting for
    std::optional<Clock::time_point> nextChunkAt() const;  // when a trickled message goes on
    bool empty() const { return segments_.empty(); }
    // Held messages go out after all.
    void releaseStalls();
    // Everything queued is dropped and nothing queued later is sent.
    void mute() {
        segments_.clear();
        muted_ = true;
    }
    // For a new connection: empty and not muted.
    void reset() {
        segments_.clear();
        muted_ = false;
    }

  private:
    enum class Mode { Whole, Trickle, Stall, Short, Close };

    // One message on its way out. The faulty modes stop at `cut` and then hold, drop or close.
    struct Segment {
        Bytes bytes;
        size_t sent = 0;
        size_t cut = 0;
        Mode mode = Mode::Whole;
        Clock::time_point nextChunkAt{};

        size_t end() const {
            return mode == Mode::Whole || mode == Mode::Trickle ? bytes->size() : cut;
        }
    };

    std::deque<Segment> segments_;
    bool muted_ = false;
};

}  // namespace ostrel::sim
