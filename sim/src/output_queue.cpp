// Sending with faults. The queue sends from prebuilt bytes, so a large block goes out in one loop
// and a stalled or trickled message never blocks the service loop.
#include "output_queue.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace ostrel::sim {

Bytes textBytes(std::string_view text) {
    return std::make_shared<const std::vector<uint8_t>>(text.begin(), text.end());
}

OutputQueue::Action OutputQueue::push(Bytes bytes, Fault fault, Clock::time_point now) {
    if (muted_)
        return Action::Keep;
    Segment segment{std::move(bytes)};
    // Less than half, so the final token of a text reply never arrives.
    segment.cut = segment.bytes->empty() ? 0 : (segment.bytes->size() - 1) / 2;
    switch (fault) {
        case Fault::None:
            break;
        case Fault::ErrorReply:
            segment.bytes = textBytes("ERROR\r\n");
            break;
        case Fault::LowerCaseError:
            segment.bytes = textBytes("error\r\n");
            break;
        case Fault::GreetingWithoutReady:
            segment.bytes = textBytes("hello\r\n");
            break;
        case Fault::NoGreeting:
        case Fault::Silence:
            return Action::Keep;
        case Fault::StallMidBlock:
            segment.mode = Mode::Stall;
            break;
        case Fault::ShortBlock:
            segment.mode = Mode::Short;
            break;
        case Fault::CloseMidBlock:
            segment.mode = Mode::Close;
            break;
        case Fault::Trickle:
            segment.mode = Mode::Trickle;
            segment.nextChunkAt = now;
            break;
        case Fault::Reset:
            return Action::Reset;
    }
    segments_.push_back(std::move(segment));
    return Action::Keep;
}

bool OutputQueue::wantsToWrite() const {
    if (segments_.empty())
        return false;
    const Segment& front = segments_.front();
    return front.mode != Mode::Trickle && front.sent < front.end();
}

std::optional<OutputQueue::Clock::time_point> OutputQueue::nextChunkAt() const {
    if (segments_.empty() || segments_.front().mode != Mode::Trickle)
        return std::nullopt;
    return segments_.front().nextChunkAt;
}

void OutputQueue::releaseStalls() {
    for (Segment& segment : segments_) {
        if (segment.mode == Mode::Stall)
            segment.mode = Mode::Whole;
    }
}

OutputQueue::Action OutputQueue::flush(int fd, Clock::time_point now, const Pace& pace) {
    while (!segments_.empty()) {
        Segment& segment = segments_.front();
        size_t end = segment.end();
        if (segment.sent < end) {
            size_t want = end - segment.sent;
            if (segment.mode == Mode::Trickle) {
                if (now < segment.nextChunkAt)
                    return Action::Keep;
                want = std::min(want, static_cast<size_t>(std::max(pace.bytes, 1)));
            }
            ssize_t n =
                ::send(fd, segment.bytes->data() + segment.sent, want, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    return Action::Keep;
                return Action::Close;
            }
            segment.sent += static_cast<size_t>(n);
            if (segment.mode == Mode::Trickle) {
                segment.nextChunkAt = now + pace.interval;
                if (segment.sent < end)
                    return Action::Keep;
            }
            continue;
        }
        switch (segment.mode) {
            case Mode::Whole:
            case Mode::Trickle:
                segments_.pop_front();
                break;
            case Mode::Stall:
                return Action::Keep;
            case Mode::Short:
                mute();
                return Action::Keep;
            case Mode::Close:
                return Action::Close;
        }
    }
    return Action::Keep;
}

}  // namespace ostrel::sim
