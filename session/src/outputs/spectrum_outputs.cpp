#include "outputs/spectrum_outputs.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "outputs/output_files.h"

namespace ostrel::session {
namespace {

// Flattens per-half vectors into halves x count for the archive.
const double* flattened(const std::vector<std::vector<double>>& halves,
                        std::vector<double>* storage) {
    storage->clear();
    for (const std::vector<double>& half : halves) {
        storage->insert(storage->end(), half.begin(), half.end());
    }
    return storage->data();
}

}  // namespace

bool checkNothingIsOverwritten(const std::string& directory, const OutputFormats& formats,
                               const std::vector<std::string>& backgroundSources,
                               std::string* error) {
    const std::string archive = directory + "/run.h5";
    if (formats.hdf5 && access(archive.c_str(), F_OK) == 0) {
        *error = archive + " already holds an earlier run's archive; give another --out";
        return false;
    }
    char resolvedDirectory[PATH_MAX];
    if (realpath(directory.c_str(), resolvedDirectory) == nullptr) {
        return true;  // the directory does not exist yet
    }
    for (const std::string& source : backgroundSources) {
        const size_t slash = source.rfind('/');
        const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
        const std::string parent = slash == std::string::npos ? "." : source.substr(0, slash);
        char resolvedParent[PATH_MAX];
        if (name.rfind("mean-single-beam-", 0) == 0 &&
            realpath(parent.c_str(), resolvedParent) != nullptr &&
            std::string(resolvedParent) == resolvedDirectory) {
            *error = "the background " + source +
                     " would be replaced by this run's mean single beam; give another --out";
            return false;
        }
    }
    return true;
}

std::string spectrumFileName(const char* kind, uint64_t number, const std::string& half) {
    char text[96];
    std::snprintf(text, sizeof text, "%s-%04llu-%s.jdx", kind,
                  static_cast<unsigned long long>(number), half.c_str());
    return text;
}

// A failed half's file says so, and why, in labels a reader of the file sees: QUALITY names the
// failed gates, QUALITY REASON (continued in QUALITY REASON 2, 3, ...) gives each one's reason.
// The lines of a JCAMP-DX file hold 80 characters, so the reasons are cut at spaces.
static void addQualityLabels(const ostrel::spectra::HalfQuality& quality,
                             std::vector<JcampLabel>* labels) {
    constexpr size_t kReasonWidth = 56;
    std::string failed;
    std::string reasons;
    for (const ostrel::spectra::Gate& gate : quality.gates) {
        if (gate.status == ostrel::spectra::GateStatus::Fail) {
            failed += (failed.empty() ? "" : ", ") + gate.name;
            reasons += (reasons.empty() ? "" : " ") + gate.name + ": " + gate.reason;
        }
    }
    labels->push_back({"QUALITY", "fail: " + failed});
    int part = 1;
    while (!reasons.empty()) {
        size_t cut = reasons.size();
        if (cut > kReasonWidth) {
            cut = reasons.rfind(' ', kReasonWidth);
            cut = cut == std::string::npos || cut == 0 ? kReasonWidth : cut;
        }
        labels->push_back({part == 1 ? "QUALITY REASON" : "QUALITY REASON " + std::to_string(part),
                           reasons.substr(0, cut)});
        reasons.erase(0, cut);
        while (!reasons.empty() && reasons.front() == ' ') {
            reasons.erase(0, 1);
        }
        ++part;
    }
}

SpectrumOutputs::SpectrumOutputs(SpectrumOutputSettings settings)
    : settings_(std::move(settings)) {}

bool SpectrumOutputs::start(std::string* error) {
    const size_t halves = settings_.halves.size();
    sums_.assign(halves, std::vector<double>(settings_.axis.count, 0.0));
    combinedSums_.assign(halves == 2 ? settings_.axis.count : 0, 0.0);
    if (!settings_.formats.hdf5 || !settings_.writeFiles) {
        return true;
    }
    ArchiveLayout layout;
    layout.halves = settings_.halves;
    layout.points = settings_.axis.points;
    for (size_t index = 0; index < settings_.axis.count; ++index) {
        layout.wavenumbers.push_back(settings_.axis.wavenumber(index));
    }
    layout.ratios = settings_.hasBackground;
    layout.combined = settings_.halves.size() == 2;
    if (layout.ratios) {
        flattened(settings_.background.halves, &layout.background);
    }
    layout.attributes = settings_.attributes;
    archive_ = std::make_unique<RunArchive>();
    return archive_->create(settings_.directory + "/run.h5", layout, error);
}

bool SpectrumOutputs::writeJcamp(const std::string& name, const std::string& title,
                                 JcampYUnits units, const std::string& half,
                                 const std::vector<double>& values, double timestampMs,
                                 const ostrel::spectra::HalfQuality* quality,
                                 std::vector<std::string>* names, std::string* error,
                                 const std::vector<JcampLabel>& extraLabels) const {
    const SpectrumAxis& axis = settings_.axis;
    // Ratios are not-a-number where the background is too weak; the file holds the widest
    // stretch where they are defined, which JCAMP-DX can describe with FIRSTX and NPOINTS.
    const IndexRange range = widestFiniteRange(values.data(), values.size());
    if (range.end == range.begin) {
        *error = "cannot write " + name + ": no point of it is defined (is the background empty?)";
        return false;
    }
    JcampSpectrum spectrum;
    spectrum.title = title;
    spectrum.origin = "ostrel-acquire, instrument at " + settings_.origin;
    spectrum.yUnits = units;
    spectrum.firstX = axis.wavenumber(range.begin);
    spectrum.deltaX = axis.wavenumberStep;
    spectrum.y = values.data() + range.begin;
    spectrum.count = range.end - range.begin;
    spectrum.resolution = axis.resolution;
    spectrum.userLabels = axisLabels(axis, half);
    spectrum.userLabels.push_back({"SCANS", std::to_string(settings_.scans)});
    if (timestampMs > 0.0) {
        spectrum.userLabels.push_back({"TIMESTAMP", formatTimestamp(timestampMs)});
    }
    if (quality != nullptr && quality->worst == ostrel::spectra::GateStatus::Fail) {
        addQualityLabels(*quality, &spectrum.userLabels);
    }
    spectrum.userLabels.insert(spectrum.userLabels.end(), extraLabels.begin(), extraLabels.end());
    std::string text;
    AtomicFile file(settings_.directory, name);
    if (!formatJcamp(spectrum, settings_.jcampForm, &text, error) || !file.open(error)) {
        *error = "cannot write " + name + ": " + *error;
        return false;
    }
    std::fwrite(text.data(), 1, text.size(), file.stream());
    if (!file.commit(error)) {
        return false;
    }
    names->push_back(name);
    return true;
}

bool SpectrumOutputs::add(const SpectrumInput& input, std::vector<std::string>* names,
                          std::string* error) {
    return writeFile(input, &last_, names, error) && addToRun(input, last_, names, error);
}

bool SpectrumOutputs::writeFile(const SpectrumInput& input, FileSpectra* spectra,
                                std::vector<std::string>* names, std::string* error) const {
    const size_t halves = settings_.halves.size();
    const size_t count = settings_.axis.count;
    spectra->hasSpectrum = !input.singleBeams.empty();
    // A file without a spectrum still enters the archive (its interferograms are data), with
    // not-a-number for everything computed from it, and is left out of the mean.
    spectra->beams.resize(halves);
    for (size_t half = 0; half < halves; ++half) {
        std::vector<double>& beam = spectra->beams[half];
        if (!spectra->hasSpectrum) {
            beam.assign(count, std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        const std::vector<double>& computed = *input.singleBeams[half];
        if (computed.size() != count) {
            *error = "file " + std::to_string(input.number) + " has a single beam of " +
                     std::to_string(computed.size()) + " points, the run's axis " +
                     std::to_string(count);
            return false;
        }
        beam.assign(computed.begin(), computed.end());
    }
    if (settings_.hasBackground) {
        spectra->transmittance.resize(halves);
        spectra->absorbance.resize(halves);
        for (size_t half = 0; half < halves; ++half) {
            spectra->transmittance[half].resize(count);
            spectra->absorbance[half].resize(count);
            divideByBackground(spectra->beams[half].data(),
                               settings_.background.halves[half].data(), count,
                               settings_.backgroundThreshold, spectra->transmittance[half].data(),
                               spectra->absorbance[half].data());
        }
    }
    spectra->combined.clear();
    spectra->combinedTransmittance.clear();
    spectra->combinedAbsorbance.clear();
    if (spectra->hasSpectrum && input.combined != nullptr) {
        spectra->combined = *input.combined;
        if (settings_.hasBackground && halves == 2) {
            // The combined ratio divides by the background of the halves the sample used.
            const std::vector<double>& forward = settings_.background.halves[0];
            const std::vector<double>& reverse = settings_.background.halves[1];
            std::vector<double> background(count);
            for (size_t j = 0; j < count; ++j) {
                background[j] = input.combinedUsed == "forward"   ? forward[j]
                                : input.combinedUsed == "reverse" ? reverse[j]
                                                                  : 0.5 * (forward[j] + reverse[j]);
            }
            spectra->combinedTransmittance.resize(count);
            spectra->combinedAbsorbance.resize(count);
            divideByBackground(spectra->combined.data(), background.data(), count,
                               settings_.backgroundThreshold, spectra->combinedTransmittance.data(),
                               spectra->combinedAbsorbance.data());
        }
    }
    if (!settings_.writeFiles) {
        return true;
    }
    if (!spectra->combined.empty() && settings_.formats.jcamp) {
        std::vector<JcampLabel> labels = {{"HALVES USED", input.combinedUsed}};
        if (!input.combinedNote.empty()) {
            // A JCAMP-DX line holds 80 characters: the note goes in pieces if it must.
            std::string note = input.combinedNote;
            for (int part = 1; !note.empty(); ++part) {
                size_t cut = std::min<size_t>(note.size(), 60);
                if (cut < note.size()) {
                    const size_t space = note.rfind(' ', cut);
                    cut = space == std::string::npos || space == 0 ? cut : space;
                }
                labels.push_back(
                    {part == 1 ? "COMBINED NOTE" : "COMBINED NOTE " + std::to_string(part),
                     note.substr(0, cut)});
                note.erase(0, cut);
                while (!note.empty() && note.front() == ' ') {
                    note.erase(0, 1);
                }
            }
        }
        const std::string title = "file " + std::to_string(input.number) + " combined";
        if (!writeJcamp(spectrumFileName("single-beam", input.number, "combined"),
                        title + " single beam", JcampYUnits::ArbitraryUnits, "both",
                        spectra->combined, input.timestampMs, nullptr, names, error, labels) ||
            (!spectra->combinedAbsorbance.empty() &&
             (!writeJcamp(spectrumFileName("transmittance", input.number, "combined"),
                          title + " transmittance", JcampYUnits::Transmittance, "both",
                          spectra->combinedTransmittance, input.timestampMs, nullptr, names, error,
                          labels) ||
              !writeJcamp(spectrumFileName("absorbance", input.number, "combined"),
                          title + " absorbance", JcampYUnits::Absorbance, "both",
                          spectra->combinedAbsorbance, input.timestampMs, nullptr, names, error,
                          labels)))) {
            return false;
        }
    }
    // With --directions combined a two-direction file's halves have no spectrum files.
    const bool halvesWritten =
        !(settings_.directions == Directions::Combined && !spectra->combined.empty());
    for (size_t half = 0;
         half < halves && spectra->hasSpectrum && settings_.formats.jcamp && halvesWritten;
         ++half) {
        const std::string& name = settings_.halves[half];
        const std::string title = "file " + std::to_string(input.number) + " " + name;
        const ostrel::spectra::HalfQuality* quality =
            half < input.quality.size() ? input.quality[half] : nullptr;
        if (!writeJcamp(spectrumFileName("single-beam", input.number, name), title + " single beam",
                        JcampYUnits::ArbitraryUnits, name, spectra->beams[half], input.timestampMs,
                        quality, names, error)) {
            return false;
        }
        if (settings_.hasBackground &&
            (!writeJcamp(spectrumFileName("transmittance", input.number, name),
                         title + " transmittance", JcampYUnits::Transmittance, name,
                         spectra->transmittance[half], input.timestampMs, quality, names, error) ||
             !writeJcamp(spectrumFileName("absorbance", input.number, name), title + " absorbance",
                         JcampYUnits::Absorbance, name, spectra->absorbance[half],
                         input.timestampMs, quality, names, error))) {
            return false;
        }
    }
    return true;
}

bool SpectrumOutputs::addToRun(const SpectrumInput& input, const FileSpectra& spectra,
                               std::vector<std::string>* names, std::string* error) {
    const size_t halves = settings_.halves.size();
    const size_t count = settings_.axis.count;
    // In file order, so that the mean is the same sum to the last bit however many threads
    // wrote the files.
    if (spectra.hasSpectrum) {
        for (size_t half = 0; half < halves; ++half) {
            const std::vector<double>& beam = spectra.beams[half];
            for (size_t index = 0; index < count; ++index) {
                sums_[half][index] += beam[index];
            }
        }
        ++filesAdded_;
    }
    if (!spectra.combined.empty() && combinedSums_.size() == spectra.combined.size()) {
        for (size_t index = 0; index < count; ++index) {
            combinedSums_[index] += spectra.combined[index];
        }
        ++combinedAdded_;
    }
    if (archive_ != nullptr) {
        std::vector<double> beamRows;
        std::vector<double> transmittanceRows;
        std::vector<double> absorbanceRows;
        ArchiveFile entry;
        entry.number = input.number;
        entry.timestampMs = input.timestampMs;
        entry.interferograms = input.interferograms;
        entry.singleBeam = flattened(spectra.beams, &beamRows);
        std::vector<int8_t> statuses;
        std::vector<double> values;
        if (input.quality.size() == halves) {
            for (const ostrel::spectra::HalfQuality* quality : input.quality) {
                for (const std::string& gateName : archiveGateNames()) {
                    const ostrel::spectra::Gate* gate = quality->find(gateName);
                    statuses.push_back(gate == nullptr ? -1 : static_cast<int8_t>(gate->status));
                    values.push_back(gate == nullptr ? std::numeric_limits<double>::quiet_NaN()
                                                     : gate->value);
                }
            }
            entry.qualityStatus = statuses.data();
            entry.qualityValues = values.data();
        }
        if (settings_.hasBackground) {
            entry.transmittance = flattened(spectra.transmittance, &transmittanceRows);
            entry.absorbance = flattened(spectra.absorbance, &absorbanceRows);
        }
        // A file without a combined beam (no spectrum) gets not-a-number, like its halves.
        const std::vector<double> missing(count, std::numeric_limits<double>::quiet_NaN());
        entry.combined = spectra.combined.empty() ? missing.data() : spectra.combined.data();
        entry.combinedTransmittance = spectra.combinedTransmittance.empty()
                                          ? missing.data()
                                          : spectra.combinedTransmittance.data();
        entry.combinedAbsorbance =
            spectra.combinedAbsorbance.empty() ? missing.data() : spectra.combinedAbsorbance.data();
        if (!archive_->append(entry, error)) {
            return false;
        }
        if (names->empty()) {
            names->push_back("run.h5 file " + std::to_string(input.number));
        }
    }
    return true;
}

bool SpectrumOutputs::finish(std::string* error) {
    if (finished_) {
        return true;
    }
    finished_ = true;
    bool finished = true;
    std::vector<std::vector<double>> means = sums_;
    if (filesAdded_ > 0) {
        for (std::vector<double>& half : means) {
            for (double& value : half) {
                value /= static_cast<double>(filesAdded_);
            }
        }
        std::vector<std::string> names;
        for (size_t half = 0; half < settings_.halves.size() && finished && settings_.writeFiles;
             ++half) {
            const std::string& name = settings_.halves[half];
            finished = writeJcamp(
                meanSingleBeamName(name),
                "mean single beam of " + std::to_string(filesAdded_) + " file(s), " + name,
                JcampYUnits::ArbitraryUnits, name, means[half], 0.0, nullptr, &names, error);
        }
    }
    if (filesAdded_ > 0) {
        means_ = means;
    }
    if (combinedAdded_ > 0 && finished && settings_.writeFiles) {
        std::vector<double> mean = combinedSums_;
        for (double& value : mean) {
            value /= static_cast<double>(combinedAdded_);
        }
        std::vector<std::string> names;
        finished = writeJcamp(
            meanSingleBeamName("combined"),
            "mean single beam of " + std::to_string(combinedAdded_) + " file(s), combined",
            JcampYUnits::ArbitraryUnits, "both", mean, 0.0, nullptr, &names, error);
    }
    if (archive_ != nullptr) {
        std::vector<double> rows;
        std::string archiveError;
        if (filesAdded_ > 0 && finished &&
            !archive_->writeMeanSingleBeam(flattened(means, &rows), &archiveError)) {
            *error = archiveError;
            finished = false;
        }
        if (!archive_->close(&archiveError) && finished) {
            *error = archiveError;
            finished = false;
        }
    }
    return finished;
}

}  // namespace ostrel::session
