// Buffers for the interferograms of a run, handed back once a file is done with them and made
// ready ahead of need. A buffer of a long record that comes fresh from the allocator is new pages,
// and on a virtual machine the faults that map them cost about a millisecond per 512 kB file: on
// the thread that must fetch each file before the driver replaces it, that was most of its time
// per file. The file pipeline's queue thread keeps a few buffers of the size last asked for in
// stock, so the fetch takes pages that are already mapped.
#pragma once

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace ostrel::session {

class BufferPool {
  public:
    // Keeps at most `keep` buffers; more that come back are freed. Stocks up to `stock`.
    BufferPool(size_t keep, size_t stock) : keep_(keep), stock_(stock) {}

    // A buffer of `size` values whose contents are unspecified: the caller overwrites them.
    std::vector<double> take(size_t size) {
        std::vector<double> buffer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            size_ = size;
            if (!free_.empty()) {
                buffer = std::move(free_.back());
                free_.pop_back();
            }
        }
        buffer.resize(size);
        return buffer;
    }

    void give(std::vector<double> buffer) {
        if (buffer.capacity() == 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.size() < keep_) {
            free_.push_back(std::move(buffer));
        }
    }

    // The size of buffer to stock, or 0 when the stock is full (or no size was asked for yet).
    size_t wantsStock() {
        std::lock_guard<std::mutex> lock(mutex_);
        return free_.size() < stock_ ? size_ : 0;
    }

    // Makes one buffer of `size` values, its pages mapped, and keeps it.
    void stockOne(size_t size) { give(std::vector<double>(size)); }

  private:
    std::mutex mutex_;
    std::vector<std::vector<double>> free_;
    size_t size_ = 0;  // the size last asked for
    const size_t keep_;
    const size_t stock_;
};

}  // namespace ostrel::session
