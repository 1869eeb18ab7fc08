// The --format list: which kinds of output a run writes. CSV and JSON hold each file's
// interferogram and spectrum as tables, JCAMP-DX one file per spectrum and half, HDF5 the whole
// run in run.h5.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ostrel::session {

// The table formats of each file's interferogram and spectrum.
enum class OutputFormat { Csv, Json };

const char* formatExtension(OutputFormat format);  // "csv" or "json"

// How JCAMP-DX files hold their ordinates: plain numbers, or the compressed DIFDUP form.
enum class JcampForm { Affn, Difdup };

struct OutputFormats {
    bool csv = true;
    bool json = false;
    bool jcamp = true;
    bool hdf5 = false;

    // The table formats asked for, CSV before JSON.
    std::vector<OutputFormat> tables() const;
};

// "csv,jcamp", "hdf5", ... in any order; each name at most once, at least one.
bool parseOutputFormats(std::string_view text, OutputFormats* formats, std::string* error);

// The list in its canonical order ("csv,json,jcamp,hdf5" with those asked for).
std::string outputFormatsText(const OutputFormats& formats);

}  // namespace ostrel::session
