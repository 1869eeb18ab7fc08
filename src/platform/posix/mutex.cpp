#include "platform/mutex.h"

#include <mutex>

namespace ostrel::platform {

struct Mutex::Impl {
    std::mutex mutex;
};

Mutex::Mutex() : impl_(new Impl) {}

Mutex::~Mutex() {
    delete impl_;
}

void Mutex::lock() {
    impl_->mutex.lock();
}

void Mutex::unlock() {
    impl_->mutex.unlock();
}

}  // namespace ostrel::platform
