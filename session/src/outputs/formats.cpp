#include "ostrel_session/formats.h"

namespace ostrel::session {
namespace {

struct FormatName {
    const char* name;
    bool OutputFormats::*flag;
};

constexpr FormatName kFormats[] = {
    {"csv", &OutputFormats::csv},
    {"json", &OutputFormats::json},
    {"jcamp", &OutputFormats::jcamp},
    {"hdf5", &OutputFormats::hdf5},
};

}  // namespace

std::vector<OutputFormat> OutputFormats::tables() const {
    std::vector<OutputFormat> result;
    if (csv) {
        result.push_back(OutputFormat::Csv);
    }
    if (json) {
        result.push_back(OutputFormat::Json);
    }
    return result;
}

bool parseOutputFormats(std::string_view text, OutputFormats* formats, std::string* error) {
    OutputFormats parsed{false, false, false, false};
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string_view name = text.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        const FormatName* known = nullptr;
        for (const FormatName& format : kFormats) {
            if (name == format.name) {
                known = &format;
            }
        }
        if (known == nullptr) {
            *error = "unknown format \"" + std::string(name) +
                     "\": give a comma-separated list of csv, json, jcamp, hdf5";
            return false;
        }
        if (parsed.*(known->flag)) {
            *error = "format " + std::string(name) + " is listed twice";
            return false;
        }
        parsed.*(known->flag) = true;
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    *formats = parsed;
    return true;
}

std::string outputFormatsText(const OutputFormats& formats) {
    std::string text;
    for (const FormatName& format : kFormats) {
        if (formats.*(format.flag)) {
            text += text.empty() ? "" : ",";
            text += format.name;
        }
    }
    return text;
}

}  // namespace ostrel::session
