// The device's side of the session's events. The session calls this observer on its event thread;
// it copies what the attributes show (state, status, the last file's curves) under its own lock
// and queues what is to be pushed to Tango clients. The device's push thread takes the queue and
// pushes with no lock of ours held, so neither the session's event thread nor a command ever
// waits for the device monitor that a push takes.
#pragma once

#include <tango.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel_session/events.h"

namespace ostrel::tango {

// Index of a half in the attributes' pairs (Forward, Reverse).
enum Half { Forward = 0, Reverse = 1 };

// One file's curves as the spectrum attributes show them; a half the run did not record, or a
// curve the session's queue had to shed, is empty.
struct FileCurves {
    uint64_t number = 0;
    std::vector<double> interferogram[2];
    std::vector<double> centreBurst[2];  // the interferogram about its largest excursion
    std::vector<double> singleBeam[2];
    // One spectrum per file: the combined single beam of a two-direction file (the mean of the
    // halves', or the half that passed its gates), else the recorded half's.
    std::vector<double> combinedSingleBeam;
    std::vector<double> wavenumbers;  // the axis of the single beams and of the absorbance
    // Against the background: from the combined single beam of a two-direction file, else the
    // half's; empty without a background.
    std::vector<double> absorbance;
};

// Points each side of the centre burst's peak in CentreBurstForward/Reverse.
constexpr size_t kCentreBurstHalfWidth = 256;

std::shared_ptr<const FileCurves> curvesOf(const ostrel::session::FileEvent& event);

// What the attributes read, copied at once under the lock.
struct DeviceSnapshot {
    Tango::DevState state = Tango::OFF;
    std::string status;
    std::string lastError;
    std::string runDirectory;
    int64_t fileNumber = 0;
    double scanProgress = 0.0;  // percent of the current file's scans
    std::shared_ptr<const FileCurves> curves;
};

struct PendingPush {
    enum Kind { State, File } kind = State;
    Tango::DevState state = Tango::OFF;
    int64_t fileNumber = 0;
    // When the session saw the file's co-add event (ms since 1970 UTC): the time stamp of the
    // file's events, so that a client can tell how late they reach it.
    double fileEventMs = 0.0;
    std::shared_ptr<const FileCurves> curves;  // null when the file's curves were shed
};

class DeviceEvents : public ostrel::session::SessionObserver {
  public:
    void onRun(const ostrel::session::RunEvent& event) override;
    void onProgress(const ostrel::session::ProgressEvent& event) override;
    void onFile(const std::shared_ptr<const ostrel::session::FileEvent>& event) override;
    void onEnd(const ostrel::session::EndEvent& event) override;
    void onError(const ostrel::session::ErrorEvent& error) override;

    // From commands and the device's job thread: a state that no session event reports
    // (connecting, connected, calibrating, a failed operation).
    void setState(Tango::DevState state, const std::string& status);
    // FAULT with what failed and, when the session's last error is about it, the driver's text and
    // the hint.
    void setFault(const std::string& failure);
    // While an operation of the device's own (connecting, rebooting) goes on, its state stands:
    // the end of a run it stopped does not turn the device ON under it.
    void beginOperation(Tango::DevState state, const std::string& status);
    void endOperation();
    DeviceSnapshot snapshot() const;
    // Forgets the last session's state and curves: a new session begins (the Init command).
    void reset();

    // The push thread's side: waits up to timeoutMs for something to push, then takes all of it.
    // False once stopPushing() was called.
    bool takePushes(int timeoutMs, std::deque<PendingPush>* pushes);
    void stopPushing();

  private:
    void setStateLocked(Tango::DevState state, const std::string& status);
    void queueLocked(PendingPush push);

    mutable std::mutex mutex_;
    std::condition_variable pushReady_;
    std::deque<PendingPush> pushes_;
    bool stopped_ = false;
    DeviceSnapshot current_;
    ostrel::session::ErrorEvent lastError_;
    std::string activeRunId_;
    std::string activeRunKind_;
    bool operating_ = false;
};

}  // namespace ostrel::tango
