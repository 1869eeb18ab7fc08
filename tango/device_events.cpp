#include "device_events.h"

#include <algorithm>
#include <cmath>

#include "ostrel_session/progress.h"

namespace ostrel::tango {
namespace {

using ostrel::session::EndEvent;
using ostrel::session::ErrorEvent;
using ostrel::session::FileEvent;
using ostrel::session::ProgressEvent;
using ostrel::session::RunEvent;

// A client slower than the files loses the curves of older files (their numbers are still pushed),
// never more than this many files' curves wait in the queue.
constexpr size_t kQueuedFileCurves = 4;

std::vector<double> centreBurst(const double* half, size_t count) {
    if (count == 0) {
        return {};
    }
    double mean = 0.0;
    for (size_t i = 0; i < count; ++i) {
        mean += half[i];
    }
    mean /= static_cast<double>(count);
    size_t peak = 0;
    for (size_t i = 1; i < count; ++i) {
        if (std::fabs(half[i] - mean) > std::fabs(half[peak] - mean)) {
            peak = i;
        }
    }
    const size_t first = peak > kCentreBurstHalfWidth ? peak - kCentreBurstHalfWidth : 0;
    const size_t end = std::min(count, peak + kCentreBurstHalfWidth + 1);
    return std::vector<double>(half + first, half + end);
}

// The halves' absorbance averaged where every half has a value; NaN where one has none.
std::vector<double> meanAbsorbance(const std::vector<std::vector<double>>& halves) {
    if (halves.empty()) {
        return {};
    }
    size_t length = halves.front().size();
    for (const std::vector<double>& half : halves) {
        length = std::min(length, half.size());
    }
    std::vector<double> mean(length, 0.0);
    for (const std::vector<double>& half : halves) {
        for (size_t i = 0; i < length; ++i) {
            mean[i] += half[i];
        }
    }
    for (double& value : mean) {
        value /= static_cast<double>(halves.size());
    }
    return mean;
}

std::string errorText(const ErrorEvent& error) {
    std::string text = error.message;
    if (!error.detail.empty()) {
        text += ": " + error.detail;
    }
    return text;
}

}  // namespace

std::shared_ptr<const FileCurves> curvesOf(const FileEvent& event) {
    auto curves = std::make_shared<FileCurves>();
    curves->number = event.number;
    const size_t points = event.pointsPerHalf;
    for (size_t index = 0; index < event.halves.size(); ++index) {
        const int half = event.halves[index] == "reverse" ? Reverse : Forward;
        if (points > 0 && event.data.size() >= (index + 1) * points) {
            const double* start = event.data.data() + index * points;
            curves->interferogram[half].assign(start, start + points);
            curves->centreBurst[half] = centreBurst(start, points);
        }
        if (index < event.spectra.size()) {
            const ostrel::spectra::Spectrum& spectrum = event.spectra[index];
            curves->singleBeam[half] = spectrum.values;
            if (curves->wavenumbers.empty() && !spectrum.values.empty()) {
                curves->wavenumbers.resize(spectrum.values.size());
                for (size_t bin = 0; bin < spectrum.values.size(); ++bin) {
                    curves->wavenumbers[bin] = spectrum.wavenumber(bin);
                }
            }
        }
    }
    curves->combinedSingleBeam = !event.combined.values.empty() ? event.combined.values
                                 : !event.spectra.empty()       ? event.spectra.front().values
                                                                : std::vector<double>{};
    // A two-direction file has one absorbance from its combined single beam; a one-direction
    // file has its half's.
    curves->absorbance = !event.combinedAbsorbance.empty() ? event.combinedAbsorbance
                                                           : meanAbsorbance(event.absorbance);
    return curves;
}

void DeviceEvents::onRun(const RunEvent& event) {
    if (!event.started) {
        return;  // the end event that follows says how it ended
    }
    std::lock_guard<std::mutex> lock(mutex_);
    activeRunId_ = event.runId;
    activeRunKind_ = std::string(ostrel::session::name(event.kind));
    current_.runDirectory = event.directory;
    current_.scanProgress = 0.0;
    if (operating_) {
        return;
    }
    setStateLocked(Tango::RUNNING, activeRunKind_ + " run " + event.runId + " started");
}

void DeviceEvents::onProgress(const ProgressEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.runId != activeRunId_ || current_.state != Tango::RUNNING) {
        return;
    }
    const int scans = std::max(1, event.state.scans);
    current_.scanProgress = 100.0 * std::min(1.0, static_cast<double>(event.state.scan) / scans);
    current_.status =
        activeRunKind_ + " run " + activeRunId_ + ": " + ostrel::session::progressText(event.state);
}

void DeviceEvents::onFile(const std::shared_ptr<const FileEvent>& event) {
    // The copy is made before the lock is taken, so that reads never wait for it.
    std::shared_ptr<const FileCurves> curves =
        event->data.empty() && event->spectra.empty() ? nullptr : curvesOf(*event);
    std::lock_guard<std::mutex> lock(mutex_);
    current_.fileNumber = static_cast<int64_t>(event->number);
    current_.scanProgress = 100.0;
    if (curves != nullptr) {
        current_.curves = curves;
    }
    PendingPush push;
    push.kind = PendingPush::File;
    push.fileNumber = current_.fileNumber;
    push.fileEventMs = event->coaddEventMs > 0.0 ? event->coaddEventMs : event->timestampMs;
    push.curves = curves;
    queueLocked(std::move(push));
}

void DeviceEvents::onEnd(const EndEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.runId != activeRunId_) {
        return;  // a run that a later one has replaced
    }
    activeRunId_.clear();
    std::string summary = activeRunKind_ + " run " + event.runId + " " + event.status + ": " +
                          std::to_string(event.filesSaved) + " file(s) saved";
    if (!event.directory.empty()) {
        summary += " in " + event.directory;
    }
    if (operating_) {
        return;
    }
    if (event.status == "failed") {
        std::string status = summary + "\n" + event.error;
        if (!lastError_.detail.empty() &&
            event.error.find(lastError_.detail) == std::string::npos) {
            status += "\n" + lastError_.detail;
        }
        if (!lastError_.hint.empty()) {
            status += "\nhint: " + lastError_.hint;
        }
        setStateLocked(Tango::FAULT, status);
    } else {
        setStateLocked(Tango::ON, summary);
    }
}

void DeviceEvents::onError(const ErrorEvent& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = error;
    current_.lastError = errorText(error);
}

void DeviceEvents::setState(Tango::DevState state, const std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    setStateLocked(state, status);
}

void DeviceEvents::setFault(const std::string& failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string status = failure;
    // The session's result already carries the driver's text; the hint comes with the error event.
    if (!lastError_.hint.empty() && failure.find(lastError_.message) != std::string::npos) {
        status += "\nhint: " + lastError_.hint;
    }
    current_.lastError = failure;
    setStateLocked(Tango::FAULT, status);
}

void DeviceEvents::beginOperation(Tango::DevState state, const std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    operating_ = true;
    setStateLocked(state, status);
}

void DeviceEvents::endOperation() {
    std::lock_guard<std::mutex> lock(mutex_);
    operating_ = false;
}

void DeviceEvents::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    const Tango::DevState state = current_.state;
    current_ = DeviceSnapshot{};
    current_.state = state;
    lastError_ = ErrorEvent{};
    activeRunId_.clear();
    activeRunKind_.clear();
    operating_ = false;
    setStateLocked(Tango::OFF, "not connected");
}

DeviceSnapshot DeviceEvents::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

bool DeviceEvents::takePushes(int timeoutMs, std::deque<PendingPush>* pushes) {
    std::unique_lock<std::mutex> lock(mutex_);
    pushReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [this] { return stopped_ || !pushes_.empty(); });
    if (stopped_) {
        return false;
    }
    pushes->swap(pushes_);
    pushes_.clear();
    return true;
}

void DeviceEvents::stopPushing() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    pushes_.clear();
    pushReady_.notify_all();
}

void DeviceEvents::setStateLocked(Tango::DevState state, const std::string& status) {
    const bool changed = state != current_.state;
    current_.state = state;
    current_.status = status;
    if (changed) {
        PendingPush push;
        push.kind = PendingPush::State;
        push.state = state;
        queueLocked(std::move(push));
    }
}

void DeviceEvents::queueLocked(PendingPush push) {
    if (stopped_) {
        return;
    }
    if (push.kind == PendingPush::File) {
        size_t withCurves = 0;
        for (auto queued = pushes_.rbegin(); queued != pushes_.rend(); ++queued) {
            if (queued->kind == PendingPush::File && queued->curves != nullptr &&
                ++withCurves >= kQueuedFileCurves) {
                queued->curves.reset();
            }
        }
    }
    pushes_.push_back(std::move(push));
    pushReady_.notify_one();
}

}  // namespace ostrel::tango
