#include "platform/debug_output.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ostrel::platform {
namespace {

constexpr int kNotConfigured = -2;
constexpr int kNoSink = -1;

// The sink's descriptor, or one of the two values above. A reader-writer lock rather than an
// atomic: reconfiguring closes the old file, and a writer still holding its number must not
// write into whatever file is opened next under the same number. The lock is statically
// initialised and never destroyed, so records written during process exit (the unload
// notification runs after static destructors) still work.
pthread_rwlock_t sinkLock = PTHREAD_RWLOCK_INITIALIZER;
int sinkDescriptor = kNotConfigured;  // guarded by sinkLock
bool sinkOwned = false;               // guarded by sinkLock: a file we opened and must close

// Called with sinkLock held for writing.
void configureSink() {
    if (sinkOwned) {
        close(sinkDescriptor);
    }
    sinkDescriptor = kNoSink;
    sinkOwned = false;
    const char* target = std::getenv("OSTRELTCP_TRACE");
    if (target == nullptr || *target == '\0') {
        return;
    }
    if (std::strcmp(target, "stderr") == 0) {
        sinkDescriptor = STDERR_FILENO;
        return;
    }
    const int file = open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file >= 0) {
        sinkDescriptor = file;
        sinkOwned = true;
    }
}

}  // namespace

void debugOutput(const char* record) {
    if (record == nullptr) {
        return;
    }
    // The caller may record errno right after tracing (setLastError does): keep it intact.
    const int savedErrno = errno;
    pthread_rwlock_rdlock(&sinkLock);
    if (sinkDescriptor == kNotConfigured) {
        pthread_rwlock_unlock(&sinkLock);
        pthread_rwlock_wrlock(&sinkLock);
        if (sinkDescriptor == kNotConfigured) {
            configureSink();
        }
    }
    if (sinkDescriptor >= 0) {
        // One write per record: O_APPEND files and pipes keep a record of this size whole
        // against writers in other threads.
        const size_t length = std::strlen(record);
        while (write(sinkDescriptor, record, length) < 0 && errno == EINTR) {
        }
    }
    pthread_rwlock_unlock(&sinkLock);
    errno = savedErrno;
}

void debugOutputReconfigure() {
    const int savedErrno = errno;
    pthread_rwlock_wrlock(&sinkLock);
    configureSink();
    pthread_rwlock_unlock(&sinkLock);
    errno = savedErrno;
}

}  // namespace ostrel::platform
