// The text conversation on the command connection: sending the command held in commandBuffer
// and the four ways of waiting for and collecting the instrument's answer.
//
// Two locks (state/locks.h) keep the scan thread and the host's commands from spoiling each
// other's text: sendLock guards commandBuffer and the send on the command connection (held
// briefly); conversationLock gives one party at a time the replies (receiveBuffer, replyText),
// held by a host command from its send to the end of its wait and by the scan sequence while it
// runs. The waits below collect into the replies, so their callers hold the conversation.
#pragma once

#include <cstdint>

#include "platform/annotations.h"
#include "state/locks.h"

namespace ostrel {

#if defined(__GNUC__)
#define OSTREL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define OSTREL_PRINTF(f, a)
#endif

// Formats a command into commandBuffer and sends it on the command connection, both under the
// send lock; when traceFormat is not null it is traced with the command text (one "%s"). Returns
// the socket layer's send result, which callers ignore.
int32_t sendTracedCommand(const char* traceFormat, const char* format, ...) OSTREL_PRINTF(2, 3);

// Copies text into commandBuffer and sends it on the given connection under the send lock.
int32_t sendTextOn(int32_t socket, const char* text);

// Sends commandBuffer as it stands.
int32_t sendCommand();

// One command and its "OK": takes the conversation lock, sends as sendTracedCommand does and
// returns waitForOK's result.
int32_t commandExchange(const char* traceFormat, const char* format, ...) OSTREL_PRINTF(2, 3)
    OSTREL_EXCLUDES(conversationLock());

int32_t getResponse(int32_t timeoutMs) OSTREL_REQUIRES(conversationLock());
int32_t waitForResponse(int32_t tries) OSTREL_REQUIRES(conversationLock());
int32_t read_until(int32_t socket, const char* token, double timeoutMs)
    OSTREL_REQUIRES(conversationLock());
int32_t waitForOK() OSTREL_REQUIRES(conversationLock());

// The limits of the protocol.
inline constexpr double kOkTimeoutMs = 5000.0;
inline constexpr double kVersionTimeoutMs = 1000.0;
inline constexpr double kReadyTimeoutMs = 10000.0;
inline constexpr int32_t kResponseWaitMs = 1000;
inline constexpr uint32_t kResponsePauseMs = 5;
// How long getResponse waits for the rest of a reply line that arrived in pieces.
inline constexpr int32_t kLineCompletionMs = 200;

}  // namespace ostrel
