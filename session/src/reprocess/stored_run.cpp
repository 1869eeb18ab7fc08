#include "reprocess/stored_run.h"

#include <dirent.h>
#include <hdf5.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace ostrel::session {
namespace {

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// The archive's interferograms: files x halves x points, of which the first len(/file_numbers)
// files are complete (a killed run may have written rows beyond them).
class ArchiveInterferograms : public StoredInterferograms {
  public:
    ~ArchiveInterferograms() override {
        if (dataset_ >= 0) {
            H5Dclose(dataset_);
        }
        if (file_ >= 0) {
            H5Fclose(file_);
        }
    }

    bool open(const std::string& path, size_t halves, size_t points, std::string* error) {
        // A killed run leaves its archive marked open for writing; SWMR read mode opens it.
        H5E_BEGIN_TRY {
            file_ = H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT);
        }
        H5E_END_TRY;
        if (file_ < 0) {
            *error = path + " cannot be opened as an HDF5 file";
            return false;
        }
        if (!readVector("/file_numbers", H5T_NATIVE_UINT64, &numbers_) ||
            !readVector("/timestamps", H5T_NATIVE_DOUBLE, &timestamps_)) {
            *error = path + " has no /file_numbers or /timestamps: it is not a run archive";
            return false;
        }
        H5E_BEGIN_TRY {
            dataset_ = H5Dopen2(file_, "/interferograms", H5P_DEFAULT);
        }
        H5E_END_TRY;
        if (dataset_ < 0) {
            *error = path + " holds no /interferograms";
            return false;
        }
        const hid_t space = H5Dget_space(dataset_);
        hsize_t dims[3] = {0, 0, 0};
        const int rank = H5Sget_simple_extent_ndims(space);
        if (rank == 3) {
            H5Sget_simple_extent_dims(space, dims, nullptr);
        }
        H5Sclose(space);
        if (rank != 3 || dims[1] != halves || dims[2] != points) {
            *error = path + " holds interferograms of " + std::to_string(dims[1]) + " half(s) x " +
                     std::to_string(dims[2]) + " points, the run's summary says " +
                     std::to_string(halves) + " x " + std::to_string(points);
            return false;
        }
        complete_ = std::min<size_t>({numbers_.size(), timestamps_.size(), dims[0]});
        halves_ = halves;
        points_ = points;
        return true;
    }

    bool next(StoredFile* file, std::string* error) override {
        error->clear();
        if (index_ >= complete_) {
            return false;
        }
        file->number = numbers_[index_];
        file->timestampMs = timestamps_[index_];
        file->data.assign(halves_ * points_, 0.0);
        const hid_t space = H5Dget_space(dataset_);
        const hsize_t start[3] = {index_, 0, 0};
        const hsize_t count[3] = {1, halves_, points_};
        H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, count, nullptr);
        const hid_t memory = H5Screate_simple(3, count, nullptr);
        const herr_t read =
            H5Dread(dataset_, H5T_NATIVE_DOUBLE, memory, space, H5P_DEFAULT, file->data.data());
        H5Sclose(memory);
        H5Sclose(space);
        if (read < 0) {
            *error = "run.h5: file " + std::to_string(file->number) + " cannot be read";
            return false;
        }
        ++index_;
        return true;
    }

    std::string source() const override { return "run.h5"; }

  private:
    template <typename T>
    bool readVector(const char* name, hid_t type, std::vector<T>* values) {
        hid_t dataset = -1;
        H5E_BEGIN_TRY {
            dataset = H5Dopen2(file_, name, H5P_DEFAULT);
        }
        H5E_END_TRY;
        if (dataset < 0) {
            return false;
        }
        const hid_t space = H5Dget_space(dataset);
        const hssize_t count = H5Sget_simple_extent_npoints(space);
        H5Sclose(space);
        values->assign(static_cast<size_t>(std::max<hssize_t>(count, 0)), T{});
        const bool read = values->empty() || H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                                                     values->data()) >= 0;
        H5Dclose(dataset);
        return read;
    }

    hid_t file_ = -1;
    hid_t dataset_ = -1;
    std::vector<uint64_t> numbers_;
    std::vector<double> timestamps_;
    size_t complete_ = 0;
    size_t index_ = 0;
    size_t halves_ = 0;
    size_t points_ = 0;
};

// One CSV interferogram: "# key: value" header lines, a line of column names, then one row per
// point: the index and one value per half.
bool readCsvInterferogram(const std::string& directory, const std::string& name, size_t halves,
                          size_t points, StoredFile* file, std::string* error) {
    std::ifstream in(directory + "/" + name);
    if (!in) {
        *error = name + " cannot be read";
        return false;
    }
    file->data.assign(halves * points, 0.0);
    file->timestampMs = 0.0;
    std::string line;
    bool columnsSeen = false;
    size_t row = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        if (line[0] == '#') {
            const std::string key = "# timestamp_ms: ";
            if (line.compare(0, key.size(), key) == 0) {
                std::from_chars(line.data() + key.size(), line.data() + line.size(),
                                file->timestampMs);
            }
            continue;
        }
        if (!columnsSeen) {
            const size_t columns = static_cast<size_t>(std::count(line.begin(), line.end(), ','));
            if (columns != halves) {
                *error = name + " has " + std::to_string(columns) +
                         " interferogram column(s), the run's summary says " +
                         std::to_string(halves);
                return false;
            }
            columnsSeen = true;
            continue;
        }
        if (row >= points) {
            *error =
                name + " holds more than the run's " + std::to_string(points) + " points per half";
            return false;
        }
        const char* cursor = line.data();
        const char* end = line.data() + line.size();
        const char* comma = std::find(cursor, end, ',');
        for (size_t half = 0; half < halves; ++half) {
            if (comma == end) {
                *error = name + ": row " + std::to_string(row) + " has too few values";
                return false;
            }
            cursor = comma + 1;
            comma = std::find(cursor, end, ',');
            double value = 0.0;
            const auto parsed = std::from_chars(cursor, comma, value);
            if (parsed.ec != std::errc() || parsed.ptr != comma) {
                *error = name + ": row " + std::to_string(row) +
                         " holds a value that is not a "
                         "number";
                return false;
            }
            file->data[half * points + row] = value;
        }
        ++row;
    }
    if (row != points) {
        *error = name + " holds " + std::to_string(row) +
                 " points per half, the run's summary "
                 "says " +
                 std::to_string(points);
        return false;
    }
    return true;
}

class CsvInterferograms : public StoredInterferograms {
  public:
    CsvInterferograms(std::string directory, std::vector<std::string> names, size_t halves,
                      size_t points)
        : directory_(std::move(directory)),
          names_(std::move(names)),
          halves_(halves),
          points_(points) {}

    bool next(StoredFile* file, std::string* error) override {
        error->clear();
        if (index_ >= names_.size()) {
            return false;
        }
        const std::string& name = names_[index_++];
        // "interferogram-0012.csv": the file's number is in its name.
        file->number = std::stoull(name.substr(std::string("interferogram-").size()));
        return readCsvInterferogram(directory_, name, halves_, points_, file, error);
    }

    std::string source() const override { return "interferogram CSV files"; }

  private:
    std::string directory_;
    std::vector<std::string> names_;
    size_t halves_;
    size_t points_;
    size_t index_ = 0;
};

bool isInterferogramCsv(const std::string& name) {
    const std::string prefix = "interferogram-";
    const std::string suffix = ".csv";
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string digits =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return digits.size() <= 18 &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool readStoredSettings(const std::string& runDirectory, StoredSettings* stored,
                        std::string* error) {
    const std::string path = runDirectory + "/summary.json";
    std::ifstream in(path);
    if (!in) {
        *error = path + " cannot be read: is " + runDirectory + " a run's directory?";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    const JsonValue summary = JsonValue::parse(text.str(), nullptr, false);
    if (summary.is_discarded() || !summary.is_object() || !summary.contains("settings") ||
        !summary["settings"].is_object()) {
        *error = path + " is not a run summary";
        return false;
    }
    const JsonValue& json = summary["settings"];
    Settings& settings = stored->settings;
    try {
        AcquisitionSettings& acquisition = settings.acquisition;
        acquisition.points = json.at("points").get<int>();
        acquisition.scans = json.at("scans").get<int>();
        acquisition.direction = json.at("direction").get<int>();
        acquisition.gain = json.at("gain").get<int>();
        stored->skip = json.at("skip").get<int>();
        acquisition.skip = stored->skip;
        ostrel::spectra::Settings& spectra = settings.spectra;
        spectra.laserWavenumber = json.at("laser_wavenumber").get<double>();
        spectra.undersampling = json.at("undersampling").get<int>();
        spectra.zeroFill = json.at("zero_fill").get<int>();
        spectra.phaseResolution = json.at("phase_resolution").get<double>();
        spectra.rangeLow = json.at("range_low").get<double>();
        spectra.rangeHigh = json.at("range_high").get<double>();
        if (!ostrel::spectra::parseApodization(json.at("apodization").get<std::string>(),
                                               &spectra.apodization) ||
            !ostrel::spectra::parsePhaseMode(json.at("phase").get<std::string>(), &spectra.phase)) {
            *error = path + " names an unknown apodization or phase mode";
            return false;
        }
        std::string problem;
        if (!parseOutputFormats(json.at("format").get<std::string>(), &settings.outputs.formats,
                                &problem)) {
            *error = path + ": " + problem;
            return false;
        }
        settings.outputs.jcampForm = json.value("jcamp_form", std::string("affn")) == "difdup"
                                         ? JcampForm::Difdup
                                         : JcampForm::Affn;
        settings.outputs.backgroundThresholdPercent =
            json.value("background_threshold_percent", 1.0);
        if (summary.contains("instrument") && summary["instrument"].is_object()) {
            const JsonValue& instrument = summary["instrument"];
            stored->address = instrument.value("address", std::string());
            stored->simulator = instrument.value("simulator", false);
            stored->version = instrument.value("version", 0);
        }
        if (summary.contains("run") && summary["run"].is_object()) {
            stored->kind = summary["run"].value("kind", std::string("acquire"));
            stored->name = summary["run"].value("name", std::string());
        }
    } catch (const nlohmann::json::exception&) {
        *error = path + " lacks a setting or holds one of the wrong type";
        return false;
    }
    return true;
}

std::unique_ptr<StoredInterferograms> openStoredInterferograms(const std::string& runDirectory,
                                                               size_t halves, size_t points,
                                                               std::string* error) {
    const std::string archive = runDirectory + "/run.h5";
    if (exists(archive)) {
        auto stored = std::make_unique<ArchiveInterferograms>();
        if (!stored->open(archive, halves, points, error)) {
            return nullptr;
        }
        return stored;
    }
    std::vector<std::string> names;
    if (DIR* listing = opendir(runDirectory.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            if (isInterferogramCsv(entry->d_name)) {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(listing);
    }
    if (names.empty()) {
        *error = runDirectory +
                 " holds no interferograms: neither run.h5 nor interferogram-*.csv "
                 "(a run written with --format jcamp only keeps spectra)";
        return nullptr;
    }
    // By number: past 9999 the names grow a digit and no longer sort as text.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return std::make_unique<CsvInterferograms>(runDirectory, std::move(names), halves, points);
}

}  // namespace ostrel::session
