// The live view's page (HTML, script, style) and the charting library it draws with, read into
// memory when the server starts: a missing file is reported then, not when a browser asks, and no
// request ever reaches the file system.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace ostrel::acquire::live {

struct PageFile {
    std::string contentType;
    std::string body;
};

// Served path ("/", "/live.js", "/vendor/dygraph.min.js", ...) to its file.
using PageFiles = std::map<std::string, PageFile>;

// Where the page is looked for: beside the program in the build tree (live-page/), then in the
// install tree (../share/ostreltcp/live-page/ from the program's directory).
std::vector<std::string> pageDirectoryCandidates(const std::string& programDirectory);

// The directory of the running program (from /proc/self/exe); empty when unknown.
std::string programDirectory();

// Reads the page from the first candidate directory that holds it, and the charting library
// from the page directory or else from libraryDirectory (Debian's libjs-dygraphs). False with a
// message naming what is missing and where it was looked for.
bool loadPageFiles(const std::vector<std::string>& pageDirectories,
                   const std::string& libraryDirectory, PageFiles* files, std::string* error);
// The same for another page: pageNames are its files, the first one served at "/".
bool loadPageFiles(const std::vector<std::string>& pageDirectories,
                   const std::vector<std::string>& pageNames, const std::string& libraryDirectory,
                   PageFiles* files, std::string* error);

}  // namespace ostrel::acquire::live
