// One published interferogram slot. The scan thread stores into it while a host thread may copy
// out of it; the slot's lock makes the two mutually exclusive.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/mutex.h"

namespace ostrel {

inline constexpr int32_t ScanBufferCapacity = 65536;

class ScanBuffer {
  public:
    static constexpr uint16_t kConstructed = 1;
    static constexpr uint16_t kHoldsData = 4;

    // Stores points doubles and their time stamp. Refuses (false, slot unchanged) a count
    // outside 0..ScanBufferCapacity.
    bool setData(const double* source, int32_t points, double timestamp);

    // Copies the slot into destination when it holds exactly pts doubles: 0; otherwise the
    // first pts doubles of destination are zeroed and error 9 is recorded and returned.
    int32_t getData(double* destination, int32_t pts, double* timestamp);

    double timestamp() const { return timestamp_.load(); }

  private:
    std::atomic<uint16_t> state_{kConstructed};
    std::atomic<int32_t> points_{0};
    std::atomic<double> timestamp_{0.0};
    platform::Mutex lock_;
    double data_[ScanBufferCapacity] OSTREL_GUARDED_BY(lock_);
};

}  // namespace ostrel
