#include "independent_jcamp_reader.h"

#include <sys/wait.h>

#include <cstdio>

namespace ostrel::acquire::testing {
namespace {

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (const char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

}  // namespace

bool readJcampFiles(const std::vector<std::string>& paths, JsonValue* files, std::string* error) {
    std::string command = quoted(OSTREL_NODE) + " " + quoted(OSTREL_JCAMP_READER);
    for (const std::string& path : paths) {
        command += " " + quoted(path);
    }
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *error = "cannot run " + command;
        return false;
    }
    std::string output;
    char buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, got);
    }
    const int status = pclose(pipe);
    if (status != 0) {
        *error = "the JCAMP-DX reader failed (status " + std::to_string(status) +
                 "); is it installed (scripts/setup.sh)? command: " + command;
        return false;
    }
    return parseJson(output, files, error);
}

}  // namespace ostrel::acquire::testing
