#include "outputs/run_archive.h"

#include <hdf5.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <tuple>

#include "ostrel_spectra/quality.h"

namespace ostrel::session {
namespace {

// Timestamps and file numbers are tiny; a chunk of many keeps their index small over long runs.
constexpr hsize_t kSmallChunk = 1024;

// The innermost HDF5 error: the library's own words for what went wrong.
std::string hdf5Reason() {
    std::string reason;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned position, const H5E_error2_t* entry, void* data) -> herr_t {
            if (position == 0 && entry->desc != nullptr) {
                *static_cast<std::string*>(data) = entry->desc;
            }
            return 0;
        },
        &reason);
    H5Eclear2(H5E_DEFAULT);
    return reason;
}

// Owns one HDF5 identifier and closes it with its own close function.
class Id {
  public:
    using Closer = herr_t (*)(hid_t);
    Id() = default;
    Id(hid_t id, Closer closer) : id_(id), closer_(closer) {}
    ~Id() { reset(); }
    Id(const Id&) = delete;
    Id& operator=(const Id&) = delete;
    Id(Id&& other) noexcept : id_(other.id_), closer_(other.closer_) { other.id_ = -1; }
    Id& operator=(Id&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = other.id_;
            closer_ = other.closer_;
            other.id_ = -1;
        }
        return *this;
    }
    // Closes now; false when closing failed (for a file: its last writes failed).
    bool reset() {
        bool closed = true;
        if (id_ >= 0) {
            closed = closer_(id_) >= 0;
        }
        id_ = -1;
        return closed;
    }
    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }

  private:
    hid_t id_ = -1;
    Closer closer_ = nullptr;
};

Id scalarSpace() {
    return {H5Screate(H5S_SCALAR), H5Sclose};
}

Id textType() {
    Id type(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(type.get(), H5T_VARIABLE);
    H5Tset_cset(type.get(), H5T_CSET_UTF8);
    return type;
}

bool writeTextAttribute(hid_t object, const std::string& name, const std::string& value) {
    const Id type = textType();
    const Id space = scalarSpace();
    const Id attribute(
        H5Acreate2(object, name.c_str(), type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
        H5Aclose);
    const char* text = value.c_str();
    return attribute.valid() && H5Awrite(attribute.get(), type.get(), &text) >= 0;
}

bool writeTextListAttribute(hid_t object, const std::string& name,
                            const std::vector<std::string>& values) {
    const Id type = textType();
    const hsize_t count = values.size();
    const Id space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    const Id attribute(
        H5Acreate2(object, name.c_str(), type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
        H5Aclose);
    std::vector<const char*> texts;
    for (const std::string& value : values) {
        texts.push_back(value.c_str());
    }
    return attribute.valid() && H5Awrite(attribute.get(), type.get(), texts.data()) >= 0;
}

bool writeAttribute(hid_t object, const ArchiveAttribute& attribute) {
    if (const auto* text = std::get_if<std::string>(&attribute.value)) {
        return writeTextAttribute(object, attribute.name, *text);
    }
    const bool isDouble = std::holds_alternative<double>(attribute.value);
    const hid_t type = isDouble ? H5T_NATIVE_DOUBLE : H5T_NATIVE_INT64;
    const Id space = scalarSpace();
    const Id created(
        H5Acreate2(object, attribute.name.c_str(), type, space.get(), H5P_DEFAULT, H5P_DEFAULT),
        H5Aclose);
    const void* value = isDouble ? static_cast<const void*>(&std::get<double>(attribute.value))
                                 : static_cast<const void*>(&std::get<int64_t>(attribute.value));
    return created.valid() && H5Awrite(created.get(), type, value) >= 0;
}

// A dataset that grows along its first axis, one chunk of `rowChunk` rows at a time.
Id createGrowing(hid_t file, const char* name, hid_t type, std::vector<hsize_t> rowShape,
                 hsize_t rowChunk) {
    std::vector<hsize_t> dims{0};
    std::vector<hsize_t> maxDims{H5S_UNLIMITED};
    std::vector<hsize_t> chunk{rowChunk};
    for (const hsize_t extent : rowShape) {
        dims.push_back(extent);
        maxDims.push_back(extent);
        chunk.push_back(extent);
    }
    const Id space(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), maxDims.data()),
                   H5Sclose);
    const Id properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    H5Pset_chunk(properties.get(), static_cast<int>(chunk.size()), chunk.data());
    // Every row is written whole before it counts, so filling new chunks first is wasted work.
    H5Pset_fill_time(properties.get(), H5D_FILL_TIME_NEVER);
    return {H5Dcreate2(file, name, type, space.get(), H5P_DEFAULT, properties.get(), H5P_DEFAULT),
            H5Dclose};
}

// A fixed dataset of rows x columns doubles (rows 0: one dimension), NaN until written.
Id createFixed(hid_t file, const char* name, hsize_t rows, hsize_t columns) {
    const std::array<hsize_t, 2> dims{rows, columns};
    const Id space(rows == 0 ? H5Screate_simple(1, &dims[1], nullptr)
                             : H5Screate_simple(2, dims.data(), nullptr),
                   H5Sclose);
    const Id properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    const double notANumber = std::numeric_limits<double>::quiet_NaN();
    H5Pset_fill_value(properties.get(), H5T_NATIVE_DOUBLE, &notANumber);
    H5Pset_fill_time(properties.get(), H5D_FILL_TIME_ALLOC);
    return {H5Dcreate2(file, name, H5T_NATIVE_DOUBLE, space.get(), H5P_DEFAULT, properties.get(),
                       H5P_DEFAULT),
            H5Dclose};
}

bool writeWhole(hid_t dataset, const double* values) {
    return H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) >= 0;
}

// Grows the dataset to row + 1 rows, writes the row and flushes it.
bool appendRow(hid_t dataset, hid_t type, hsize_t row, const std::vector<hsize_t>& rowShape,
               const void* values) {
    std::vector<hsize_t> dims{row + 1};
    std::vector<hsize_t> start{row};
    std::vector<hsize_t> count{1};
    for (const hsize_t extent : rowShape) {
        dims.push_back(extent);
        start.push_back(0);
        count.push_back(extent);
    }
    if (H5Dset_extent(dataset, dims.data()) < 0) {
        return false;
    }
    const Id fileSpace(H5Dget_space(dataset), H5Sclose);
    const Id memorySpace(H5Screate_simple(static_cast<int>(count.size()), count.data(), nullptr),
                         H5Sclose);
    return fileSpace.valid() && memorySpace.valid() &&
           H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(),
                               nullptr) >= 0 &&
           H5Dwrite(dataset, type, memorySpace.get(), fileSpace.get(), H5P_DEFAULT, values) >= 0 &&
           H5Dflush(dataset) >= 0;
}

}  // namespace

const std::vector<std::string>& archiveGateNames() {
    static const std::vector<std::string> names = {
        std::string(ostrel::spectra::kBurstGate), std::string(ostrel::spectra::kZpdEdgeGate),
        std::string(ostrel::spectra::kClippedGate), std::string(ostrel::spectra::kOutOfBandGate),
        std::string(ostrel::spectra::kZpdAgreementGate)};
    return names;
}

struct RunArchive::Handles {
    Id file;
    Id qualityStatus;
    Id qualityValue;
    Id combined;
    Id combinedTransmittance;
    Id combinedAbsorbance;
    Id interferograms;
    Id singleBeam;
    Id transmittance;
    Id absorbance;
    Id timestamps;
    Id fileNumbers;
    Id meanSingleBeam;

    // Datasets first, the file last: the file's close writes what they still hold.
    bool closeAll() {
        bool closed = true;
        for (Id* dataset : {&interferograms, &singleBeam, &transmittance, &absorbance, &timestamps,
                            &fileNumbers, &meanSingleBeam, &qualityStatus, &qualityValue, &combined,
                            &combinedTransmittance, &combinedAbsorbance}) {
            closed = dataset->reset() && closed;
        }
        return file.reset() && closed;
    }
};

RunArchive::RunArchive() : handles_(std::make_unique<Handles>()) {}

RunArchive::~RunArchive() {
    std::string ignored;
    close(&ignored);
}

bool RunArchive::fail(const std::string& what, std::string* error) {
    const std::string reason = hdf5Reason();
    *error =
        "cannot " + what + " in the run archive " + path_ + (reason.empty() ? "" : ": ") + reason;
    return false;
}

namespace {

// "dir/.run.h5.new" for "dir/run.h5".
std::string creationPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, name) + "." + path.substr(name) + ".new";
}

}  // namespace

bool RunArchive::create(const std::string& path, const ArchiveLayout& layout, std::string* error) {
    // The tool reports failures itself; HDF5 would otherwise print its error stack to stderr.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    path_ = path;
    layout_ = layout;
    files_ = 0;
    Handles& h = *handles_;
    const hsize_t halves = layout.halves.size();
    const hsize_t bins = layout.wavenumbers.size();
    if (halves == 0 || layout.points == 0) {
        *error = "the run archive needs at least one half of at least one point";
        return false;
    }
    if (layout.ratios && (bins == 0 || layout.background.size() != halves * bins)) {
        *error = "the run archive's background must have one value per half and wavenumber";
        return false;
    }

    // SWMR needs the newest file format.
    const Id access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    H5Pset_libver_bounds(access.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    // Memory flat over a run of any length: HDF5 keeps freed blocks on free lists and lets its
    // metadata cache (which holds the chunk index, one entry per file) grow to 32 MiB. Both are
    // held to a MiB or so; the index is written as the run goes anyway.
    H5set_free_list_limits(1 << 20, 1 << 18, 1 << 20, 1 << 18, 1 << 20, 1 << 18);
    H5AC_cache_config_t cache{};
    cache.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    if (H5Pget_mdc_config(access.get(), &cache) >= 0) {
        // A fixed 1 MiB: index entries of earlier files are evicted (they are on the disk)
        // rather than the cache growing towards its limit over hours.
        cache.set_initial_size = true;
        cache.initial_size = 1 << 20;
        cache.max_size = 1 << 20;
        cache.min_size = 1 << 20;
        cache.incr_mode = H5C_incr__off;
        cache.flash_incr_mode = H5C_flash_incr__off;
        cache.decr_mode = H5C_decr__off;
        H5Pset_mdc_config(access.get(), &cache);
    }
    // The file is built under a name of its own and takes its real name once its structure is on
    // the disk: a process killed in between leaves no run.h5 that no reader can open.
    const std::string building = creationPath(path);
    std::remove(building.c_str());
    h.file = Id(H5Fcreate(building.c_str(), H5F_ACC_EXCL, H5P_DEFAULT, access.get()), H5Fclose);
    if (!h.file.valid()) {
        return fail("create the file", error);
    }
    const hid_t file = h.file.get();
    for (const ArchiveAttribute& attribute : layout.attributes) {
        if (!writeAttribute(file, attribute)) {
            return fail("write the setting " + attribute.name, error);
        }
    }

    struct PerFile {
        Id* dataset;
        const char* name;
        hsize_t columns;
        bool wanted;
    };
    const PerFile perFile[] = {
        {&h.interferograms, "interferograms", layout.points, true},
        {&h.singleBeam, "single_beam", bins, bins > 0},
        {&h.transmittance, "transmittance", bins, layout.ratios},
        {&h.absorbance, "absorbance", bins, layout.ratios},
    };
    for (const PerFile& data : perFile) {
        if (!data.wanted) {
            continue;
        }
        *data.dataset =
            createGrowing(file, data.name, H5T_NATIVE_DOUBLE, {halves, data.columns}, 1);
        if (!data.dataset->valid() ||
            !writeTextListAttribute(data.dataset->get(), "halves", layout.halves)) {
            return fail(std::string("create ") + data.name, error);
        }
    }
    if (bins > 0) {
        const hsize_t gates = archiveGateNames().size();
        h.qualityStatus =
            createGrowing(file, "quality_status", H5T_NATIVE_INT8, {halves, gates}, kSmallChunk);
        h.qualityValue =
            createGrowing(file, "quality_value", H5T_NATIVE_DOUBLE, {halves, gates}, kSmallChunk);
        for (const Id* dataset : {&h.qualityStatus, &h.qualityValue}) {
            if (!dataset->valid() ||
                !writeTextListAttribute(dataset->get(), "halves", layout.halves) ||
                !writeTextListAttribute(dataset->get(), "gates", archiveGateNames())) {
                return fail("create the quality datasets", error);
            }
        }
        if (!writeTextAttribute(h.qualityStatus.get(), "statuses",
                                "0 ok, 1 warning, 2 fail, -1 not evaluated")) {
            return fail("create the quality datasets", error);
        }
    }
    if (layout.combined && bins > 0) {
        struct Combined {
            Id* dataset;
            const char* name;
            bool wanted;
        };
        for (const Combined& data :
             {Combined{&h.combined, "combined_single_beam", true},
              Combined{&h.combinedTransmittance, "combined_transmittance", layout.ratios},
              Combined{&h.combinedAbsorbance, "combined_absorbance", layout.ratios}}) {
            if (!data.wanted) {
                continue;
            }
            *data.dataset = createGrowing(file, data.name, H5T_NATIVE_DOUBLE, {bins}, 1);
            if (!data.dataset->valid()) {
                return fail(std::string("create ") + data.name, error);
            }
        }
    }
    h.timestamps = createGrowing(file, "timestamps", H5T_NATIVE_DOUBLE, {}, kSmallChunk);
    h.fileNumbers = createGrowing(file, "file_numbers", H5T_NATIVE_UINT64, {}, kSmallChunk);
    if (!h.timestamps.valid() || !h.fileNumbers.valid() ||
        !writeTextAttribute(h.timestamps.get(), "units", "ms since 1970-01-01 UTC")) {
        return fail("create the time stamps", error);
    }
    if (bins > 0) {
        const Id axis = createFixed(file, "wavenumber", 0, bins);
        if (!axis.valid() || !writeWhole(axis.get(), layout.wavenumbers.data()) ||
            !writeTextAttribute(axis.get(), "units", "1/cm")) {
            return fail("write the wavenumber axis", error);
        }
        h.meanSingleBeam = createFixed(file, "mean_single_beam", halves, bins);
        if (!h.meanSingleBeam.valid() ||
            !writeTextListAttribute(h.meanSingleBeam.get(), "halves", layout.halves)) {
            return fail("create mean_single_beam", error);
        }
    }
    if (layout.ratios) {
        const Id background = createFixed(file, "background", halves, bins);
        if (!background.valid() || !writeWhole(background.get(), layout.background.data()) ||
            !writeTextListAttribute(background.get(), "halves", layout.halves)) {
            return fail("write the background", error);
        }
    }
    if (H5Fstart_swmr_write(file) < 0) {
        return fail("start single-writer mode", error);
    }
    if (std::rename(building.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + building + " to " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool RunArchive::append(const ArchiveFile& entry, std::string* error) {
    Handles& h = *handles_;
    if (!h.file.valid()) {
        *error = "the run archive is not open";
        return false;
    }
    const hsize_t halves = layout_.halves.size();
    const hsize_t bins = layout_.wavenumbers.size();
    const hsize_t row = files_;
    struct Row {
        const Id& dataset;
        const double* values;
        hsize_t columns;
        const char* name;
    };
    const Row rows[] = {
        {h.interferograms, entry.interferograms, layout_.points, "interferograms"},
        {h.singleBeam, entry.singleBeam, bins, "single_beam"},
        {h.transmittance, entry.transmittance, bins, "transmittance"},
        {h.absorbance, entry.absorbance, bins, "absorbance"},
    };
    for (const Row& data : rows) {
        if (!data.dataset.valid()) {
            continue;
        }
        if (data.values == nullptr) {
            *error = std::string("file ") + std::to_string(entry.number) + " has no " + data.name;
            return false;
        }
        if (!appendRow(data.dataset.get(), H5T_NATIVE_DOUBLE, row, {halves, data.columns},
                       data.values)) {
            return fail("add file " + std::to_string(entry.number) + " to " + data.name, error);
        }
    }
    for (const auto& [dataset, values, name] :
         {std::tuple<const Id*, const double*, const char*>{&h.combined, entry.combined,
                                                            "combined_single_beam"},
          {&h.combinedTransmittance, entry.combinedTransmittance, "combined_transmittance"},
          {&h.combinedAbsorbance, entry.combinedAbsorbance, "combined_absorbance"}}) {
        if (!dataset->valid()) {
            continue;
        }
        if (values == nullptr) {
            *error = std::string("file ") + std::to_string(entry.number) + " has no " + name;
            return false;
        }
        if (!appendRow(dataset->get(), H5T_NATIVE_DOUBLE, row, {bins}, values)) {
            return fail("add file " + std::to_string(entry.number) + " to " + name, error);
        }
    }
    if (h.qualityStatus.valid()) {
        const hsize_t gates = archiveGateNames().size();
        const std::vector<int8_t> notEvaluated(halves * gates, -1);
        const std::vector<double> noValue(halves * gates, std::numeric_limits<double>::quiet_NaN());
        const void* statuses =
            entry.qualityStatus != nullptr ? entry.qualityStatus : notEvaluated.data();
        const void* values = entry.qualityValues != nullptr ? entry.qualityValues : noValue.data();
        if (!appendRow(h.qualityStatus.get(), H5T_NATIVE_INT8, row, {halves, gates}, statuses) ||
            !appendRow(h.qualityValue.get(), H5T_NATIVE_DOUBLE, row, {halves, gates}, values)) {
            return fail("add file " + std::to_string(entry.number) + " to the quality datasets",
                        error);
        }
    }
    // Last: the entry in /file_numbers is what makes the file count as complete.
    if (!appendRow(h.timestamps.get(), H5T_NATIVE_DOUBLE, row, {}, &entry.timestampMs) ||
        !appendRow(h.fileNumbers.get(), H5T_NATIVE_UINT64, row, {}, &entry.number)) {
        return fail("record file " + std::to_string(entry.number), error);
    }
    ++files_;
    return true;
}

bool RunArchive::writeMeanSingleBeam(const double* values, std::string* error) {
    const Id& dataset = handles_->meanSingleBeam;
    if (!dataset.valid()) {
        *error = "the run archive holds no spectra";
        return false;
    }
    if (!writeWhole(dataset.get(), values) || H5Dflush(dataset.get()) < 0) {
        return fail("write mean_single_beam", error);
    }
    return true;
}

bool RunArchive::close(std::string* error) {
    if (!handles_->file.valid()) {
        return true;
    }
    if (!handles_->closeAll()) {
        return fail("close the file", error);
    }
    return true;
}

}  // namespace ostrel::session
