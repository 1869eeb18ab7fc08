#include "outputs/output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "ostrel_session/json_text.h"

namespace ostrel::session {
namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Interferograms of one or two co-added scans hold whole and half counts, for which the general
// shortest form costs several times more than integer text. Below 2^50 the exact decimal digits of
// such a value are its shortest text that reads back, since any shorter one is 0.5 or more away
// and a double there is 0.125 or closer to its neighbours; std::to_chars writes them as fixed
// digits unless scientific notation is shorter ("1e+05" for 100000), and then this leaves the
// value to it. Returns the end of the text written at `out`, or nullptr for other values.
char* wholeOrHalf(double value, char* out) {
    const double magnitude = std::fabs(value);
    if (!(magnitude < 1.0e15) || value == 0.0) {
        return nullptr;  // NaN, large values and the sign of zero go the general way
    }
    const double whole = std::trunc(magnitude);
    const double fraction = magnitude - whole;
    if (fraction != 0.0 && fraction != 0.5) {
        return nullptr;
    }
    char digits[24];
    char* digitsEnd =
        std::to_chars(digits, digits + sizeof digits, static_cast<int64_t>(whole)).ptr;
    const auto count = static_cast<size_t>(digitsEnd - digits);
    if (fraction == 0.0) {
        size_t significant = count;
        while (significant > 1 && digits[significant - 1] == '0') {
            --significant;
        }
        // "d.ddde+XX": the exponent is below 15, so two digits.
        const size_t scientific = significant + (significant > 1 ? 1 : 0) + 4;
        if (count >= scientific) {
            return nullptr;
        }
    }
    if (value < 0.0) {
        *out++ = '-';
    }
    std::memcpy(out, digits, count);
    out += count;
    if (fraction != 0.0) {
        *out++ = '.';
        *out++ = '5';
    }
    return out;
}

// A file's text is formatted into this buffer and handed to the stream in large pieces: a stdio
// call per cell and a string per number cost several times what the formatting itself does. A
// write error stays in the stream's error flag, which AtomicFile::commit() checks.
class TextBuffer {
  public:
    explicit TextBuffer(std::FILE* stream) : stream_(stream) {}
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { flush(); }

    void put(char character) {
        reserve(1);
        buffer_[used_++] = character;
    }
    void text(const char* text, size_t size) {
        if (size > kSize - used_) {
            flush();
            if (size > kSize) {
                std::fwrite(text, 1, size, stream_);
                return;
            }
        }
        std::memcpy(buffer_ + used_, text, size);
        used_ += size;
    }
    void text(const char* text) { this->text(text, std::strlen(text)); }
    // The shortest text that reads back as the same double, as formatNumber() gives it.
    void number(double value) {
        reserve(kNumberSize);
        char* end = wholeOrHalf(value, buffer_ + used_);
        if (end == nullptr) {
            end = std::to_chars(buffer_ + used_, buffer_ + kSize, value).ptr;
        }
        used_ = static_cast<size_t>(end - buffer_);
    }
    template <typename Integer>
    void integer(Integer value) {
        reserve(kNumberSize);
        used_ = static_cast<size_t>(std::to_chars(buffer_ + used_, buffer_ + kSize, value).ptr -
                                    buffer_);
    }
    // A number as the JSON text of a document gives it: its own shortest form with a ".0" on
    // whole numbers, and null for what JSON cannot hold.
    void jsonNumber(double value) {
        if (!std::isfinite(value)) {
            text("null", 4);
            return;
        }
        reserve(kNumberSize);
        used_ = static_cast<size_t>(
            nlohmann::detail::to_chars(buffer_ + used_, buffer_ + kSize, value) - buffer_);
    }
    void flush() {
        if (used_ > 0) {
            std::fwrite(buffer_, 1, used_, stream_);
            used_ = 0;
        }
    }

  private:
    static constexpr size_t kSize = 64 * 1024;
    static constexpr size_t kNumberSize = 64;  // room for any double or integer

    void reserve(size_t size) {
        if (size > kSize - used_) {
            flush();
        }
    }

    std::FILE* stream_;
    size_t used_ = 0;
    char buffer_[kSize];
};

// The index column of a spectrum (its wavenumbers) is the same in every file of a run and is a
// third of the numbers of the table, so each thread keeps the text of the last index column it
// formatted, one for each format, and reuses it while the values are the same to the bit.
class ColumnTextCache {
  public:
    template <typename Format>
    void update(const double* values, size_t rows, Format format) {
        if (values_.size() == rows &&
            std::memcmp(values_.data(), values, rows * sizeof(double)) == 0) {
            return;
        }
        values_.assign(values, values + rows);
        text_.clear();
        ends_.clear();
        char number[64];
        for (size_t row = 0; row < rows; ++row) {
            text_.append(number, format(number, values[row]));
            ends_.push_back(text_.size());
        }
    }
    std::string_view row(size_t row) const {
        const size_t begin = row == 0 ? 0 : ends_[row - 1];
        return std::string_view(text_).substr(begin, ends_[row] - begin);
    }

  private:
    std::vector<double> values_;
    std::string text_;
    std::vector<size_t> ends_;
};

ColumnTextCache& csvIndexText(const double* values, size_t rows) {
    thread_local ColumnTextCache cache;
    cache.update(values, rows, [](char* text, double value) {
        char* end = wholeOrHalf(value, text);
        return static_cast<size_t>(
            (end != nullptr ? end : std::to_chars(text, text + 64, value).ptr) - text);
    });
    return cache;
}

ColumnTextCache& jsonIndexText(const double* values, size_t rows) {
    thread_local ColumnTextCache cache;
    cache.update(values, rows, [](char* text, double value) {
        if (!std::isfinite(value)) {
            std::memcpy(text, "null", 4);
            return size_t{4};
        }
        return static_cast<size_t>(nlohmann::detail::to_chars(text, text + 64, value) - text);
    });
    return cache;
}

void writeHeaderValueCsv(TextBuffer* out, const HeaderEntry& entry) {
    if (const auto* text = std::get_if<std::string>(&entry.value)) {
        out->text(text->c_str());
    } else if (const auto* number = std::get_if<double>(&entry.value)) {
        out->number(*number);
    } else if (const auto* integer = std::get_if<int64_t>(&entry.value)) {
        out->integer(static_cast<long long>(*integer));
    } else {
        out->text(std::get<bool>(entry.value) ? "true" : "false");
    }
}

void writeCsv(std::FILE* stream, const Table& table) {
    auto out = std::make_unique<TextBuffer>(stream);
    out->text("# ");
    out->text(table.title.c_str());
    out->put('\n');
    for (const HeaderEntry& entry : table.header) {
        out->text("# ");
        out->text(entry.key.c_str());
        out->text(": ");
        writeHeaderValueCsv(out.get(), entry);
        out->put('\n');
    }
    out->text(table.indexName.c_str());
    for (const Column& column : table.columns) {
        out->put(',');
        out->text(column.name.c_str());
    }
    out->put('\n');
    const ColumnTextCache* index =
        table.indexValues != nullptr ? &csvIndexText(table.indexValues, table.rows) : nullptr;
    for (size_t row = 0; row < table.rows; ++row) {
        if (index != nullptr) {
            const std::string_view text = index->row(row);
            out->text(text.data(), text.size());
        } else {
            out->integer(row);
        }
        for (const Column& column : table.columns) {
            out->put(',');
            out->number(column.values[row]);
        }
        out->put('\n');
    }
}

// The header members of a JSON file, in the order a person reads them.
JsonValue jsonHeader(const Table& table) {
    JsonValue document;
    document["kind"] = table.title;
    for (const HeaderEntry& entry : table.header) {
        std::visit([&](const auto& value) { document[entry.key] = value; }, entry.value);
    }
    document["rows"] = table.rows;
    document["index"] = table.indexName;
    return document;
}

// The whole document built as JSON values: for a table whose columns share a name with each
// other or with a header member (a later member replaces the earlier one in place).
void writeJsonDocument(std::FILE* stream, const Table& table) {
    JsonValue document = jsonHeader(table);
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

// The same text as writeJsonDocument() gives, but the columns are formatted straight into the
// buffer instead of becoming a JSON value per number first: the header members come from the
// JSON library, the arrays follow them laid out as it lays them out (two spaces per level, one
// number per line).
void writeJson(std::FILE* stream, const Table& table) {
    std::vector<std::pair<const std::string*, const double*>> arrays;
    if (table.indexValues != nullptr) {
        arrays.emplace_back(&table.indexName, table.indexValues);
    }
    for (const Column& column : table.columns) {
        arrays.emplace_back(&column.name, column.values);
    }
    const JsonValue header = jsonHeader(table);
    std::string text = jsonText(header, 2);
    for (size_t index = 0; index < arrays.size(); ++index) {
        const std::string& name = *arrays[index].first;
        bool repeated = header.contains(name);
        for (size_t earlier = 0; earlier < index && !repeated; ++earlier) {
            repeated = *arrays[earlier].first == name;
        }
        if (repeated) {
            writeJsonDocument(stream, table);
            return;
        }
    }
    const std::string end = "\n}";
    if (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0) {
        writeJsonDocument(stream, table);
        return;
    }
    text.resize(text.size() - end.size());
    auto out = std::make_unique<TextBuffer>(stream);
    out->text(text.data(), text.size());
    for (const auto& [name, values] : arrays) {
        out->text(",\n  ");
        const std::string key = jsonText(JsonValue(*name));
        out->text(key.data(), key.size());
        if (table.rows == 0) {
            out->text(": []");
            continue;
        }
        out->text(": [\n");
        const ColumnTextCache* cached =
            values == table.indexValues ? &jsonIndexText(values, table.rows) : nullptr;
        for (size_t row = 0; row < table.rows; ++row) {
            out->text("    ");
            if (cached != nullptr) {
                const std::string_view cell = cached->row(row);
                out->text(cell.data(), cell.size());
            } else {
                out->jsonNumber(values[row]);
            }
            out->text(row + 1 < table.rows ? ",\n" : "\n");
        }
        out->text("  ]");
    }
    out->text("\n}\n");
}

}  // namespace

std::string formatNumber(double value) {
    char text[32];
    char* end = wholeOrHalf(value, text);
    if (end == nullptr) {
        end = std::to_chars(text, text + sizeof text, value).ptr;
    }
    return std::string(text, end);
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
