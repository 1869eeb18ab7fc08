#include "page_files.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace ostrel::acquire::live {
namespace {

struct Asset {
    const char* path;  // as served
    const char* name;  // file name
    const char* contentType;
};

const Asset kLibrary[] = {
    {"/vendor/dygraph.min.js", "dygraph.min.js", "text/javascript; charset=utf-8"},
    {"/vendor/dygraph.min.css", "dygraph.min.css", "text/css; charset=utf-8"},
};

bool readWhole(const std::string& path, std::string* body) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return false;
    }
    std::ostringstream contents;
    contents << stream.rdbuf();
    *body = contents.str();
    return !stream.bad();
}

const char* contentTypeOf(const std::string& name) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0) {
        return "text/html; charset=utf-8";
    }
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0) {
        return "text/javascript; charset=utf-8";
    }
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".css") == 0) {
        return "text/css; charset=utf-8";
    }
    return "application/octet-stream";
}

// Reads every asset from directory into *files; false (and *files unchanged) if one is missing.
template <typename Assets>
bool readAll(const Assets& assets, const std::string& directory, PageFiles* files) {
    PageFiles found;
    for (const Asset& asset : assets) {
        PageFile file{asset.contentType, {}};
        if (!readWhole(directory + "/" + asset.name, &file.body)) {
            return false;
        }
        found.emplace(asset.path, std::move(file));
    }
    files->insert(found.begin(), found.end());
    return true;
}

}  // namespace

std::vector<std::string> pageDirectoryCandidates(const std::string& programDirectory) {
    if (programDirectory.empty()) {
        return {};
    }
    return {programDirectory + "/live-page", programDirectory + "/../share/ostreltcp/live-page"};
}

std::string programDirectory() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return "";
    }
    const std::string program(path, static_cast<size_t>(length));
    const size_t slash = program.rfind('/');
    return slash == std::string::npos ? "" : program.substr(0, slash);
}

bool loadPageFiles(const std::vector<std::string>& pageDirectories,
                   const std::string& libraryDirectory, PageFiles* files, std::string* error) {
    return loadPageFiles(pageDirectories, {"index.html", "live.js", "live.css"}, libraryDirectory,
                         files, error);
}

bool loadPageFiles(const std::vector<std::string>& pageDirectories,
                   const std::vector<std::string>& pageNames, const std::string& libraryDirectory,
                   PageFiles* files, std::string* error) {
    // The first name is the page itself, served at "/"; the others at "/NAME".
    std::vector<std::string> paths;
    std::vector<Asset> page;
    for (const std::string& name : pageNames) {
        paths.push_back(paths.empty() ? "/" : "/" + name);
    }
    for (size_t k = 0; k < pageNames.size(); ++k) {
        page.push_back({paths[k].c_str(), pageNames[k].c_str(), contentTypeOf(pageNames[k])});
    }
    std::string pageDirectory;
    for (const std::string& candidate : pageDirectories) {
        if (readAll(page, candidate, files)) {
            pageDirectory = candidate;
            break;
        }
    }
    if (pageDirectory.empty()) {
        std::string looked;
        for (const std::string& candidate : pageDirectories) {
            looked += (looked.empty() ? "" : ", ") + candidate;
        }
        std::string names;
        for (const std::string& name : pageNames) {
            names += (names.empty() ? "" : ", ") + name;
        }
        *error = "the page (" + names + ") is not in " +
                 (looked.empty() ? std::string("any known place") : looked);
        return false;
    }
    if (!readAll(kLibrary, pageDirectory, files) && !readAll(kLibrary, libraryDirectory, files)) {
        *error = "the charting library (dygraph.min.js, dygraph.min.css) is not in " +
                 pageDirectory + " or " + libraryDirectory + ": install Debian's libjs-dygraphs";
        return false;
    }
    return true;
}

}  // namespace ostrel::acquire::live
