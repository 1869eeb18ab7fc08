// The two client connections: accepting a client (which replaces the one before it), reading its
// bytes and splitting them into lines, queueing what goes out and sending it whole or trickled,
// and dropping the connection with a close or a reset.
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include "service.h"
#include "sockets.h"

namespace ostrel::sim {
namespace {

// A client that sends this much without a line feed gets its bytes handled as one line, so a
// runaway sender cannot grow the input buffer without bound.
constexpr size_t kMaxLineBytes = 65536;
constexpr size_t kReceiveChunk = 8192;

}  // namespace

// The instrument serves one client per connection: a new client replaces the old one, which is
// what a host reconnecting after a lost connection needs.
void Simulator::Impl::acceptOn(int listener, Connection& connection, Phase greetingPhase) {
    for (;;) {
        int fd = acceptClient(listener);
        if (fd < 0)
            return;
        drop(connection, false);
        connection.fd = fd;
        connection.serial = ++serials;
        ++accepted;
        Fault fault = takeFault(greetingPhase, "");
        if (fault == Fault::Silence) {
            connection.output.mute();
        } else {
            emit(connection, textBytes("ready\r\n"), fault);
        }
    }
}

void Simulator::Impl::serviceClient(Connection& connection) {
    char buffer[kReceiveChunk];
    bool closed = false;
    while (connection.fd >= 0) {
        ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            closed = true;
            break;
        }
        connection.input.append(buffer, static_cast<size_t>(n));
        // Commands may arrive split over segments or several to a segment: split on "\n".
        while (connection.fd >= 0) {
            size_t lineFeed = connection.input.find('\n');
            if (lineFeed == std::string::npos && connection.input.size() < kMaxLineBytes)
                break;
            size_t length = lineFeed == std::string::npos ? connection.input.size() : lineFeed + 1;
            std::string line = connection.input.substr(0, length);
            connection.input.erase(0, length);
            handleLine(connection, line);
        }
    }
    if (closed)
        drop(connection, false);
}

void Simulator::Impl::handleLine(Connection& connection, const std::string& line) {
    if (&connection == &command) {
        handleCommand(line);
    } else {
        handleDataRequest(line);
    }
}

void Simulator::Impl::emit(Connection& connection, Bytes bytes, Fault fault) {
    if (connection.fd < 0)
        return;
    if (connection.output.push(std::move(bytes), fault, Clock::now()) ==
        OutputQueue::Action::Reset) {
        drop(connection, true);
    }
}

void Simulator::Impl::flush(Connection& connection, Clock::time_point now) {
    if (connection.fd < 0)
        return;
    OutputQueue::Pace pace{config.trickleBytes, milliseconds(config.trickleIntervalMs)};
    OutputQueue::Action action = connection.output.flush(connection.fd, now, pace);
    if (action != OutputQueue::Action::Keep)
        drop(connection, action == OutputQueue::Action::Reset);
}

void Simulator::Impl::drop(Connection& connection, bool reset) {
    closeSocket(&connection.fd, reset);
    connection.input.clear();
    connection.output.reset();
    if (&connection == &command)
        scan.active = false;
}

}  // namespace ostrel::sim
