// Reading a run archive back with the HDF5 library directly, in SWMR read mode as a reader of a
// live or killed run does.
#pragma once

#include <hdf5.h>

#include <string>
#include <vector>

namespace ostrel::acquire::testing {

class ArchiveReader {
  public:
    explicit ArchiveReader(const std::string& path)
        : file_(H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT)) {}
    ~ArchiveReader() {
        if (file_ >= 0) {
            H5Fclose(file_);
        }
    }
    bool opened() const { return file_ >= 0; }

    bool has(const char* name) const { return H5Lexists(file_, name, H5P_DEFAULT) > 0; }

    std::vector<hsize_t> shape(const char* name) const {
        const hid_t dataset = H5Dopen2(file_, name, H5P_DEFAULT);
        const hid_t space = H5Dget_space(dataset);
        std::vector<hsize_t> dims(static_cast<size_t>(H5Sget_simple_extent_ndims(space)));
        H5Sget_simple_extent_dims(space, dims.data(), nullptr);
        H5Sclose(space);
        H5Dclose(dataset);
        return dims;
    }

    template <typename T>
    std::vector<T> read(const char* name, hid_t type) const {
        size_t count = 1;
        for (const hsize_t extent : shape(name)) {
            count *= extent;
        }
        std::vector<T> values(count);
        const hid_t dataset = H5Dopen2(file_, name, H5P_DEFAULT);
        H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
        H5Dclose(dataset);
        return values;
    }

    std::vector<double> doubles(const char* name) const {
        return read<double>(name, H5T_NATIVE_DOUBLE);
    }

    double numberAttribute(const char* name) const {
        double value = 0.0;
        const hid_t attribute = H5Aopen(file_, name, H5P_DEFAULT);
        H5Aread(attribute, H5T_NATIVE_DOUBLE, &value);
        H5Aclose(attribute);
        return value;
    }

    std::string textAttribute(const char* name) const {
        const hid_t attribute = H5Aopen(file_, name, H5P_DEFAULT);
        const hid_t type = H5Aget_type(attribute);
        char* text = nullptr;
        H5Aread(attribute, type, &text);
        std::string value = text != nullptr ? text : "";
        H5free_memory(text);
        H5Tclose(type);
        H5Aclose(attribute);
        return value;
    }

  private:
    hid_t file_;
};

}  // namespace ostrel::acquire::testing
