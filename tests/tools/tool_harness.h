// Running ostrel-acquire as a person runs it, and reading back what it wrote: a child process with
// its own environment and captured output, a scratch directory, and a strict reader for the
// tool's CSV and JSON files.
#pragma once

#include <sys/types.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ostrel::acquire::testing {

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// The names in a directory (without "." and ".."); empty when it does not exist.
std::vector<std::string> directoryEntries(const std::string& directory);

// A directory under $TMPDIR (or /tmp) removed with everything in it at the end of the test.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// One of the tool's CSV files: "# key: value" header lines, a line of column names, and rows
// whose first field counts up from 0 and whose every field is a number.
struct CsvFile {
    std::string title;
    std::map<std::string, std::string> header;
    std::vector<std::string> columns;
    std::vector<std::vector<double>> rows;
};
bool readCsv(const std::string& path, CsvFile* file, std::string* error);

// Parses a whole file as one strict JSON document (no comments, no NaN, no trailing commas), so
// a malformed file fails the test that reads it.
bool readJsonFile(const std::string& path, nlohmann::json* document, std::string* error);

struct ProcessResult {
    bool finished = false;  // false: still running at the limit (then killed)
    int exitCode = -1;      // the exit status, or 128 + signal for a signalled end
    double seconds = 0.0;   // from start to end
    std::string out;
    std::string err;
};

// The tool as a child process; standard output and error go to files in `scratch`.
class ToolProcess {
  public:
    ToolProcess(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment, const std::string& scratch);
    ~ToolProcess();  // kills a child that is still running
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    bool started() const { return pid_ > 0; }
    void signal(int number);
    // Waits up to timeoutMs for the child to end (blocking in poll on a pidfd).
    ProcessResult wait(int timeoutMs);

  private:
    pid_t pid_ = -1;
    int pidDescriptor_ = -1;
    std::string outPath_;
    std::string errPath_;
    double startedAt_ = 0.0;
};

// Runs the tool to its end (at most timeoutMs).
ProcessResult runTool(const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment,
                      const std::string& scratch, int timeoutMs = 30000);

// The path of the built tool (set by the build).
std::string toolPath();

}  // namespace ostrel::acquire::testing
