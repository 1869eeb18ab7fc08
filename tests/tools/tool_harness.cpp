#include "tool_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace ostrel::acquire::testing {
namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, ',')) {
        fields.push_back(field);
    }
    return fields;
}

bool parseNumber(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::stringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

std::vector<std::string> directoryEntries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(listing);
    return names;
}

ScratchDirectory::ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/ostrel-acquire-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) {
        std::filesystem::remove_all(path_, ignored);
    }
}

bool readCsv(const std::string& path, CsvFile* file, std::string* error) {
    std::ifstream stream(path);
    if (!stream) {
        *error = "cannot open " + path;
        return false;
    }
    std::string line;
    size_t lineNumber = 0;
    while (std::getline(stream, line)) {
        ++lineNumber;
        const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
        if (line.rfind("# ", 0) == 0) {
            const size_t colon = line.find(": ");
            if (lineNumber == 1) {
                file->title = line.substr(2);
            } else if (colon == std::string::npos || !file->columns.empty()) {
                *error = where + "misplaced header line";
                return false;
            } else {
                file->header[line.substr(2, colon - 2)] = line.substr(colon + 2);
            }
            continue;
        }
        if (file->columns.empty()) {
            file->columns = splitFields(line);
            continue;
        }
        const std::vector<std::string> fields = splitFields(line);
        // An "index" column counts the rows; any other first column (wavenumber) holds values.
        if (fields.size() != file->columns.size() ||
            (file->columns.front() == "index" &&
             fields.front() != std::to_string(file->rows.size()))) {
            *error = where + "row does not fit the columns: " + line;
            return false;
        }
        std::vector<double> row;
        for (const std::string& field : fields) {
            double value = 0.0;
            if (!parseNumber(field, &value)) {
                *error = where + "not a number: " + field;
                return false;
            }
            row.push_back(value);
        }
        file->rows.push_back(row);
    }
    return true;
}

ToolProcess::ToolProcess(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment,
                         const std::string& scratch)
    : outPath_(scratch + "/stdout.txt"), errPath_(scratch + "/stderr.txt") {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (environment.count(variable.substr(0, variable.find('='))) == 0) {
            variables.push_back(variable);
        }
    }
    for (const auto& [name, value] : environment) {
        variables.push_back(name + "=" + value);
    }
    std::vector<std::string> argumentTexts = {toolPath()};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argumentTexts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& text : variables) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    startedAt_ = nowSeconds();
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid_ = -1;
    } else {
        pidDescriptor_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    }
    posix_spawn_file_actions_destroy(&actions);
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (pidDescriptor_ >= 0) {
        close(pidDescriptor_);
    }
}

void ToolProcess::signal(int number) {
    if (pid_ > 0) {
        kill(pid_, number);
    }
}

ProcessResult ToolProcess::wait(int timeoutMs) {
    ProcessResult result;
    if (pid_ <= 0) {
        return result;
    }
    pollfd entry{pidDescriptor_, POLLIN, 0};
    while (poll(&entry, 1, timeoutMs) < 0 && errno == EINTR) {
    }
    if (entry.revents == 0) {
        kill(pid_, SIGKILL);
    } else {
        result.finished = true;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    result.seconds = nowSeconds() - startedAt_;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(outPath_);
    result.err = readFile(errPath_);
    return result;
}

ProcessResult runTool(const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment,
                      const std::string& scratch, int timeoutMs) {
    ToolProcess process(arguments, environment, scratch);
    return process.wait(timeoutMs);
}

std::string toolPath() {
    return OSTREL_ACQUIRE_PATH;
}

}  // namespace ostrel::acquire::testing
