// Files of a run: every file is written under a temporary name in the output directory and renamed
// to its real name only when it is complete, so an interrupted or failed run never leaves a
// half-written file under a real name. Data files are CSV (with a commented header of settings)
// or JSON.
#pragma once

#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "ostrel_session/formats.h"
#include "ostrel_session/progress.h"

namespace ostrel::session {

// The shortest decimal text that reads back as exactly this double ("nan", "inf" for those).
std::string formatNumber(double value);

// One file being written. The temporary name starts with a dot and ends in ".tmp-<pid>" so that
// it is hidden, cannot be mistaken for a result, and two runs never share one.
class AtomicFile {
  public:
    AtomicFile(std::string directory, std::string name);
    ~AtomicFile();  // removes the temporary file unless commit() succeeded
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool open(std::string* error);
    std::FILE* stream() { return stream_; }
    // Flushes the data to the disk, closes the file and renames it to its real name.
    bool commit(std::string* error);

    const std::string& path() const { return path_; }
    const std::string& temporaryPath() const { return temporaryPath_; }

  private:
    void discard();

    std::string path_;
    std::string temporaryPath_;
    std::FILE* stream_ = nullptr;
};

// Creates the directory and its missing parents; *created tells whether the last one was new.
bool makeDirectories(const std::string& path, bool* created, std::string* error);

// A header entry of a data file: "# key: value" in CSV, a member in JSON.
struct HeaderEntry {
    std::string key;
    std::variant<std::string, double, int64_t, bool> value;
};

// One data column; all columns of a table have the same number of rows.
struct Column {
    std::string name;
    const double* values = nullptr;
};

struct Table {
    std::string title;  // first header line of a CSV file, "kind" member of a JSON file
    std::vector<HeaderEntry> header;
    std::string indexName;  // the first column: the row number (index), or indexValues
    std::vector<Column> columns;
    size_t rows = 0;
    const double* indexValues = nullptr;  // the first column's values (e.g. wavenumbers)
};

// Writes the table as directory/name in the format, through an AtomicFile.
bool writeTable(const std::string& directory, const std::string& name, OutputFormat format,
                const Table& table, std::string* error);

}  // namespace ostrel::session
