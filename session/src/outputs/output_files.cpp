#include "outputs/output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "ostrel_session/json_text.h"

namespace ostrel::session {
namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void writeHeaderValueCsv(std::FILE* stream, const HeaderEntry& entry) {
    if (const auto* text = std::get_if<std::string>(&entry.value)) {
        std::fputs(text->c_str(), stream);
    } else if (const auto* number = std::get_if<double>(&entry.value)) {
        std::fputs(formatNumber(*number).c_str(), stream);
    } else if (const auto* integer = std::get_if<int64_t>(&entry.value)) {
        std::fprintf(stream, "%lld", static_cast<long long>(*integer));
    } else {
        std::fputs(std::get<bool>(entry.value) ? "true" : "false", stream);
    }
}

void writeCsv(std::FILE* stream, const Table& table) {
    std::fprintf(stream, "# %s\n", table.title.c_str());
    for (const HeaderEntry& entry : table.header) {
        std::fprintf(stream, "# %s: ", entry.key.c_str());
        writeHeaderValueCsv(stream, entry);
        std::fputc('\n', stream);
    }
    std::fputs(table.indexName.c_str(), stream);
    for (const Column& column : table.columns) {
        std::fprintf(stream, ",%s", column.name.c_str());
    }
    std::fputc('\n', stream);
    for (size_t row = 0; row < table.rows; ++row) {
        if (table.indexValues != nullptr) {
            std::fputs(formatNumber(table.indexValues[row]).c_str(), stream);
        } else {
            std::fprintf(stream, "%zu", row);
        }
        for (const Column& column : table.columns) {
            std::fputc(',', stream);
            std::fputs(formatNumber(column.values[row]).c_str(), stream);
        }
        std::fputc('\n', stream);
    }
}

void writeJson(std::FILE* stream, const Table& table) {
    JsonValue document;
    document["kind"] = table.title;
    for (const HeaderEntry& entry : table.header) {
        std::visit([&](const auto& value) { document[entry.key] = value; }, entry.value);
    }
    document["rows"] = table.rows;
    document["index"] = table.indexName;
    if (table.indexValues != nullptr) {
        document[table.indexName] =
            std::vector<double>(table.indexValues, table.indexValues + table.rows);
    }
    for (const Column& column : table.columns) {
        document[column.name] = std::vector<double>(column.values, column.values + table.rows);
    }
    const std::string text = jsonText(document, 2);
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
}

}  // namespace

std::string formatNumber(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

const char* formatExtension(OutputFormat format) {
    return format == OutputFormat::Json ? "json" : "csv";
}

AtomicFile::AtomicFile(std::string directory, std::string name)
    : path_(directory + "/" + name),
      temporaryPath_(directory + "/." + name + ".tmp-" + std::to_string(getpid())) {}

AtomicFile::~AtomicFile() {
    discard();
}

void AtomicFile::discard() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
        unlink(temporaryPath_.c_str());
    }
}

bool AtomicFile::open(std::string* error) {
    discard();
    const int descriptor =
        ::open(temporaryPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        *error = systemError("cannot create", temporaryPath_);
        return false;
    }
    stream_ = fdopen(descriptor, "w");
    if (stream_ == nullptr) {
        *error = systemError("cannot write", temporaryPath_);
        ::close(descriptor);
        unlink(temporaryPath_.c_str());
        return false;
    }
    return true;
}

bool AtomicFile::commit(std::string* error) {
    if (stream_ == nullptr) {
        *error = "nothing to commit for " + path_;
        return false;
    }
    // The rename may reach the disk before the data does unless the data is synced first; a
    // power cut would then leave an empty file under the real name.
    const bool written =
        std::fflush(stream_) == 0 && std::ferror(stream_) == 0 && fsync(fileno(stream_)) == 0;
    if (!written) {
        *error = systemError("cannot write", temporaryPath_);
        discard();
        return false;
    }
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    if (!closed || std::rename(temporaryPath_.c_str(), path_.c_str()) != 0) {
        *error = systemError("cannot complete", path_);
        unlink(temporaryPath_.c_str());
        return false;
    }
    return true;
}

bool makeDirectories(const std::string& path, bool* created, std::string* error) {
    *created = false;
    if (path.empty()) {
        *error = "the output directory name is empty";
        return false;
    }
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = systemError("cannot create directory", parent);
            return false;
        }
    }
    if (mkdir(path.c_str(), 0755) == 0) {
        *created = true;
        return true;
    }
    struct stat status {};
    if (errno != EEXIST || stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        *error = systemError("cannot create directory", path);
        return false;
    }
    return true;
}

std::string formatTimestamp(double millisecondsUtc) {
    const double wholeSeconds = std::floor(millisecondsUtc / 1000.0);
    const auto seconds = static_cast<std::time_t>(wholeSeconds);
    const int milliseconds = static_cast<int>(millisecondsUtc - wholeSeconds * 1000.0);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", milliseconds);
    return text;
}

bool writeTable(const std::string& directory, const std::string& name, OutputFormat format,
                const Table& table, std::string* error) {
    AtomicFile file(directory, name);
    if (!file.open(error)) {
        return false;
    }
    if (format == OutputFormat::Json) {
        writeJson(file.stream(), table);
    } else {
        writeCsv(file.stream(), table);
    }
    return file.commit(error);
}

}  // namespace ostrel::session
