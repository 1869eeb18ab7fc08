#include "platform/debug_output.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/annotations.h"

namespace ostrel::platform {
namespace {

constexpr int kNotConfigured = -2;
constexpr int kNoSink = -1;

// The sink's descriptor, or one of the two values above. A reader-writer lock rather than an
// atomic: reconfiguring closes the old file, and a writer still holding its number must not
// write into whatever file is opened next under the same number. The lock is statically
// initialised and never destroyed, so records written during process exit (the unload
// notification runs after static destructors) still work.
class OSTREL_CAPABILITY("mutex") SinkLock {
  public:
    void lockShared() OSTREL_ACQUIRE_SHARED() { pthread_rwlock_rdlock(&lock_); }
    void unlockShared() OSTREL_RELEASE_SHARED() { pthread_rwlock_unlock(&lock_); }
    void lock() OSTREL_ACQUIRE() { pthread_rwlock_wrlock(&lock_); }
    void unlock() OSTREL_RELEASE() { pthread_rwlock_unlock(&lock_); }

  private:
    pthread_rwlock_t lock_ = PTHREAD_RWLOCK_INITIALIZER;
};

constinit SinkLock sinkLock;
int sinkDescriptor OSTREL_GUARDED_BY(sinkLock) = kNotConfigured;
bool sinkOwned OSTREL_GUARDED_BY(sinkLock) = false;  // a file we opened and must close

void configureSink() OSTREL_REQUIRES(sinkLock) {
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

// One write per record: O_APPEND files and pipes keep a record of this size whole against
// writers in other threads.
void writeRecord(const char* record) OSTREL_REQUIRES_SHARED(sinkLock) {
    if (sinkDescriptor >= 0) {
        const size_t length = std::strlen(record);
        while (write(sinkDescriptor, record, length) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace

void debugOutput(const char* record) {
    if (record == nullptr) {
        return;
    }
    // The caller may record errno right after tracing (setLastError does): keep it intact.
    const int savedErrno = errno;
    sinkLock.lockShared();
    if (sinkDescriptor != kNotConfigured) {
        writeRecord(record);
        sinkLock.unlockShared();
    } else {
        // The first record configures the sink, which needs the lock for writing.
        sinkLock.unlockShared();
        sinkLock.lock();
        if (sinkDescriptor == kNotConfigured) {
            configureSink();
        }
        writeRecord(record);
        sinkLock.unlock();
    }
    errno = savedErrno;
}

void debugOutputReconfigure() {
    const int savedErrno = errno;
    sinkLock.lock();
    configureSink();
    sinkLock.unlock();
    errno = savedErrno;
}

}  // namespace ostrel::platform
