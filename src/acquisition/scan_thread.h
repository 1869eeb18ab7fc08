// The one acquisition object: its thread runs a co-add run file by file, and its two scan
// buffers publish each finished file to the host.
#pragma once

#include <atomic>
#include <cstdint>

#include "acquisition/scan_buffer.h"
#include "acquisition/scan_sequence.h"
#include "acquisition/thread_base.h"

namespace ostrel {

class ScanThread : public CThreadBase {
  public:
    ScanThread() = default;

    // Copies of the settings taken when a run starts.
    std::atomic<int32_t> scans{0};
    std::atomic<int32_t> files{1};

    // The host's side of the double buffer.
    int32_t getData(double* destination, int32_t pts, double* timestamp);
    double getTimestamp() const;

    // True once the file cycle of the current run has ended: the thread only signals the host
    // and returns from then on.
    bool cycleEnded() const { return cycleEnded_.load(); }
    void prepareRun() { cycleEnded_.store(false); }

    // Converts the block just received and publishes it.
    int32_t PrepareData() OSTREL_REQUIRES(blockLock());

  protected:
    unsigned ThreadProc() override;

  private:
    void publish(const double* curve, int32_t count);
    void signalIfSet(const std::atomic<uintptr_t>& handle, const char* traceLine);

    double timestamp = 0.0;  // scan thread only
    BlockGeometry geometry;  // scan thread only
    ScanBuffer scanBuffers[2];
    std::atomic<int32_t> writeScanBufferIndex{0};
    std::atomic<int32_t> readyScanBufferIndex{-1};
    std::atomic<bool> cycleEnded_{false};
};

}  // namespace ostrel
