#include "serve_api.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "openapi.h"
#include "request_body.h"
#include "serve_events.h"

namespace ostrel::acquire::serve {

using ostrel::session::Failure;
using ostrel::session::FieldErrors;
using ostrel::session::Result;
using ostrel::session::RunKind;
using ostrel::session::RunRecord;
using ostrel::session::RunRequest;
using ostrel::session::Settings;

namespace {

constexpr int kDefaultRunLimit = 100;
constexpr int kMaxRunLimit = 1000;

ApiResponse failure(const Result& result) {
    return errorResponse(statusFor(result.failure), result.message, result.fields);
}

// A run id as the session makes them: letters, digits, '-', '_', '.', not starting with '.'.
bool plausibleId(const std::string& id) {
    if (id.empty() || id.size() > 200 || id.front() == '.') {
        return false;
    }
    return std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
    });
}

bool parseCount(const std::string& text, int low, int high, int* value) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const int parsed = std::atoi(text.c_str());
    if (parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

}  // namespace

OpenFile::~OpenFile() {
    if (descriptor >= 0) {
        close(descriptor);
    }
}

bool Operation::changing() const {
    return std::strcmp(method, "GET") != 0;
}

ApiResponse jsonResponse(int status, const JsonValue& json) {
    ApiResponse response;
    response.status = status;
    response.body = ostrel::session::jsonText(json);
    return response;
}

ApiResponse errorResponse(int status, const std::string& message, const FieldErrors& fields) {
    return jsonResponse(status, errorJson(message, fields));
}

bool parseJsonBody(const std::string& body, JsonValue* json, ApiResponse* response) {
    std::string error;
    if (!parseJsonObject(body, json, &error)) {
        *response = errorResponse(400, error);
        return false;
    }
    return true;
}

std::vector<RunFile> runFiles(const std::string& directory) {
    std::vector<RunFile> files;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return files;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.front() == '.') {
            continue;
        }
        struct stat status {};
        if (fstatat(dirfd(listing), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode)) {
            files.push_back({name, static_cast<uint64_t>(status.st_size)});
        }
    }
    closedir(listing);
    std::sort(files.begin(), files.end(),
              [](const RunFile& a, const RunFile& b) { return a.name < b.name; });
    return files;
}

const char* contentTypeFor(const std::string& name) {
    const size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (extension == "jdx" || extension == "dx" || extension == "jcamp") {
        return "chemical/x-jcamp-dx";
    }
    if (extension == "h5" || extension == "hdf5") {
        return "application/x-hdf5";
    }
    if (extension == "csv") {
        return "text/csv; charset=utf-8";
    }
    if (extension == "json") {
        return "application/json";
    }
    if (extension == "jsonl") {
        return "application/jsonl";
    }
    if (extension == "png") {
        return "image/png";
    }
    if (extension == "txt" || extension == "log") {
        return "text/plain; charset=utf-8";
    }
    return "application/octet-stream";
}

int statusFor(Failure failure) {
    switch (failure) {
        case Failure::None:
            return 200;
        case Failure::Usage:
            return 422;
        case Failure::Busy:
        case Failure::Stopped:
            return 409;
        case Failure::Connect:
        case Failure::Setting:
        case Failure::Acquisition:
            return 502;  // the instrument did not do it
        default:
            return 500;  // Library, Output: this computer's fault
    }
}

const std::vector<Operation>& ServeApi::operations() {
    static const std::vector<Operation> table = {
        {"GET", "/api/state", kBodyLimit, "The session's state", &ServeApi::getState},
        {"GET", "/api/settings", kBodyLimit, "The settings", &ServeApi::getSettings},
        {"PUT", "/api/settings", kBodyLimit, "Change some or all settings", &ServeApi::putSettings},
        {"POST", "/api/connection", kBodyLimit, "Connect to the instrument", &ServeApi::connect},
        {"DELETE", "/api/connection", kBodyLimit, "Close the connection", &ServeApi::disconnect},
        {"POST", "/api/calibration", kBodyLimit, "Run a calibration scan", &ServeApi::calibrate},
        {"POST", "/api/runs", kBodyLimit, "Start a run", &ServeApi::startRun},
        {"GET", "/api/runs", kBodyLimit, "The runs, newest first", &ServeApi::listRuns},
        {"GET", "/api/runs/{id}", kBodyLimit, "One run", &ServeApi::getRun},
        {"POST", "/api/runs/{id}/stop", kBodyLimit, "Stop the active run", &ServeApi::stopRun},
        {"GET", "/api/runs/{id}/files", kBodyLimit, "A run's files", &ServeApi::listFiles},
        {"GET", "/api/runs/{id}/files/{name}", kBodyLimit, "Download one of a run's files",
         &ServeApi::getFile},
        {"GET", "/api/runs/{id}/zip", kBodyLimit, "The whole run as a ZIP archive",
         &ServeApi::getZip},
        {"PUT", "/api/background", kUploadLimit,
         "Set the background: an earlier run, or uploaded single-beam JCAMP-DX files",
         &ServeApi::putBackground},
        {"DELETE", "/api/background", kBodyLimit, "Clear the background",
         &ServeApi::deleteBackground},
        {"GET", "/api/openapi.json", kBodyLimit, "This API's OpenAPI document",
         &ServeApi::getOpenApi},
    };
    return table;
}

ServeApi::ServeApi(ostrel::session::Session& session, ServeApiConfig config, ServeEvents* events)
    : session_(session), config_(std::move(config)), events_(events) {}

ApiResponse ServeApi::handle(const Operation& operation, const ApiRequest& request) {
    ApiResponse response;
    try {
        response = (this->*operation.handler)(request);
    } catch (const std::exception& error) {
        response = errorResponse(500, std::string("internal error: ") + error.what());
    }
    if (operation.changing() && events_ != nullptr) {
        events_->stateChanged();
    }
    return response;
}

ApiResponse ServeApi::getState(const ApiRequest&) {
    return jsonResponse(200, stateJson(session_.state()));
}

ApiResponse ServeApi::getSettings(const ApiRequest&) {
    return jsonResponse(200, ostrel::session::settingsJson(session_.settings()));
}

ApiResponse ServeApi::putSettings(const ApiRequest& request) {
    JsonValue body;
    ApiResponse response;
    if (!parseJsonBody(request.body, &body, &response)) {
        return response;
    }
    if (session_.state().running) {
        return errorResponse(409, "the settings cannot change during a run");
    }
    Settings settings = session_.settings();
    FieldErrors errors;
    if (!settingsFromBody(body, &settings, &errors)) {
        return errorResponse(422, "some settings are wrong", errors);
    }
    const Result applied = session_.applySettings(settings);
    if (!applied.ok()) {
        return failure(applied);
    }
    return jsonResponse(200, ostrel::session::settingsJson(session_.settings()));
}

ApiResponse ServeApi::connect(const ApiRequest& request) {
    JsonValue body;
    ApiResponse response;
    if (!parseJsonBody(request.body, &body, &response)) {
        return response;
    }
    FieldErrors errors;
    std::string address = config_.address;
    for (const auto& [key, value] : body.items()) {
        if (key != "address") {
            errors[key] = "unknown field " + key;
        } else if (!value.is_string() || value.get<std::string>().size() > 255) {
            errors[key] = "address must be the instrument's IPv4 address as text";
        } else {
            address = value.get<std::string>();
        }
    }
    if (!errors.empty()) {
        return errorResponse(422, "the request is wrong", errors);
    }
    const Result connected = session_.connect(address);
    if (!connected.ok()) {
        return failure(connected);
    }
    return jsonResponse(200, stateJson(session_.state()));
}

ApiResponse ServeApi::disconnect(const ApiRequest&) {
    if (session_.state().running) {
        return errorResponse(409, "a run is active: stop it before closing the connection");
    }
    session_.close();
    return jsonResponse(200, stateJson(session_.state()));
}

ApiResponse ServeApi::calibrate(const ApiRequest&) {
    const Result calibrated = session_.calibrate();
    if (!calibrated.ok()) {
        return failure(calibrated);
    }
    return jsonResponse(200, stateJson(session_.state()));
}

ApiResponse ServeApi::startRun(const ApiRequest& request) {
    JsonValue body;
    ApiResponse response;
    if (!parseJsonBody(request.body, &body, &response)) {
        return response;
    }
    RunRequest run;
    FieldErrors errors;
    if (!parseRunRequest(body, &run, &errors)) {
        return errorResponse(422, "the run request is wrong", errors);
    }
    const ostrel::session::SessionState before = session_.state();
    if (before.running) {
        return errorResponse(409, "another run is active (" + before.activeRun.id +
                                      "); stop it or wait for its end");
    }
    if (!config_.sampleAbsorbers.empty() && before.connection.simulator) {
        // The demonstration sample is in the simulator's beam for sample runs only.
        std::vector<std::string> beam = config_.baseAbsorbers;
        if (run.kind == RunKind::Sample) {
            beam.insert(beam.end(), config_.sampleAbsorbers.begin(), config_.sampleAbsorbers.end());
        }
        const Result placed = session_.setSimulatorSample(beam);
        if (!placed.ok()) {
            return failure(placed);
        }
    }
    const Result started = session_.startRun(run);
    if (!started.ok()) {
        return failure(started);
    }
    const ostrel::session::SessionState after = session_.state();
    const std::string id = after.running ? after.activeRun.id : session_.lastRunEnd().runId;
    RunRecord record = after.running ? after.activeRun : RunRecord{};
    for (const RunRecord& listed : session_.history()) {
        if (listed.id == id) {
            record = listed;
            break;
        }
    }
    if (record.id.empty()) {
        record.id = id;
        record.kind = run.kind;
        record.name = run.name;
        record.state = "running";
    }
    response = jsonResponse(201, runJson(record));
    response.headers.emplace_back("Location", "/api/runs/" + record.id);
    return response;
}

bool ServeApi::findRun(const std::string& id, RunRecord* run, ApiResponse* response) {
    if (plausibleId(id)) {
        for (const RunRecord& listed : session_.history()) {
            if (listed.id == id) {
                *run = listed;
                return true;
            }
        }
        const ostrel::session::SessionState state = session_.state();
        // An align run keeps no directory, so the history does not list it.
        if (state.running && state.activeRun.id == id) {
            *run = state.activeRun;
            return true;
        }
    }
    *response = errorResponse(404, "no run " + id);
    return false;
}

ApiResponse ServeApi::stopRun(const ApiRequest& request) {
    RunRecord run;
    ApiResponse response;
    if (!findRun(request.params.at("id"), &run, &response)) {
        return response;
    }
    const ostrel::session::SessionState state = session_.state();
    if (!state.running || state.activeRun.id != run.id) {
        return errorResponse(409, "run " + run.id + " is not active (" + run.state + ")");
    }
    session_.stop();
    return jsonResponse(202, runJson(run));
}

ApiResponse ServeApi::listRuns(const ApiRequest& request) {
    int limit = kDefaultRunLimit;
    const auto limitText = request.query.find("limit");
    if (limitText != request.query.end() &&
        !parseCount(limitText->second, 1, kMaxRunLimit, &limit)) {
        return errorResponse(
            400, "limit must be a whole number from 1 to " + std::to_string(kMaxRunLimit));
    }
    const std::vector<RunRecord> runs = session_.history();
    size_t first = 0;
    const auto before = request.query.find("before");
    if (before != request.query.end()) {
        const auto found = std::find_if(runs.begin(), runs.end(), [&](const RunRecord& run) {
            return run.id == before->second;
        });
        if (found == runs.end()) {
            return errorResponse(400, "before must be the id of a listed run");
        }
        first = static_cast<size_t>(found - runs.begin()) + 1;
    }
    JsonValue list = JsonValue::array();
    for (size_t k = first; k < runs.size() && list.size() < static_cast<size_t>(limit); ++k) {
        list.push_back(runJson(runs[k]));
    }
    JsonValue json;
    json["runs"] = std::move(list);
    json["more"] = first + static_cast<size_t>(limit) < runs.size();
    return jsonResponse(200, json);
}

ApiResponse ServeApi::getRun(const ApiRequest& request) {
    RunRecord run;
    ApiResponse response;
    if (!findRun(request.params.at("id"), &run, &response)) {
        return response;
    }
    return jsonResponse(200, runJson(run));
}

ApiResponse ServeApi::listFiles(const ApiRequest& request) {
    RunRecord run;
    ApiResponse response;
    if (!findRun(request.params.at("id"), &run, &response)) {
        return response;
    }
    JsonValue files = JsonValue::array();
    for (const RunFile& file : runFiles(run.directory)) {
        files.push_back({{"name", file.name},
                         {"size", file.size},
                         {"content_type", contentTypeFor(file.name)}});
    }
    JsonValue json;
    json["run"] = run.id;
    json["files"] = std::move(files);
    return jsonResponse(200, json);
}

ApiResponse ServeApi::getFile(const ApiRequest& request) {
    RunRecord run;
    ApiResponse response;
    if (!findRun(request.params.at("id"), &run, &response)) {
        return response;
    }
    const std::string& name = request.params.at("name");
    const std::vector<RunFile> files = runFiles(run.directory);
    const bool listed = std::any_of(files.begin(), files.end(),
                                    [&](const RunFile& file) { return file.name == name; });
    // The name is only ever one of the listed names, which hold no '/' and are never "..".
    const int descriptor =
        listed ? open((run.directory + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    auto file = std::make_shared<OpenFile>(descriptor);
    struct stat status {};
    if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return errorResponse(404, "run " + run.id + " has no file " + name);
    }
    response.contentType = contentTypeFor(name);
    response.file = std::move(file);
    response.fileSize = static_cast<size_t>(status.st_size);
    response.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + name + "\"");
    return response;
}

ApiResponse ServeApi::getZip(const ApiRequest& request) {
    RunRecord run;
    ApiResponse response;
    if (!findRun(request.params.at("id"), &run, &response)) {
        return response;
    }
    const std::vector<RunFile> files = runFiles(run.directory);
    if (files.empty()) {
        // An align run keeps nothing (and libzip writes no archive without entries).
        return errorResponse(404, "run " + run.id + " has no files");
    }
    // Built in a temporary file that is unlinked once open, so that a large run never sits in
    // memory and nothing is left behind whatever happens to the connection.
    const char* tmp = std::getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ostrel-zip-XXXXXX";
    const int made = mkstemp(path.data());
    if (made < 0) {
        return errorResponse(500, std::string("cannot make the archive: ") + std::strerror(errno));
    }
    close(made);
    int zipError = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_TRUNCATE, &zipError);
    std::string problem = archive == nullptr ? "cannot create the archive" : "";
    for (const RunFile& file : files) {
        if (!problem.empty()) {
            break;
        }
        const int descriptor =
            open((run.directory + "/" + file.name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        FILE* stream = descriptor >= 0 ? fdopen(descriptor, "rb") : nullptr;
        if (stream == nullptr) {
            if (descriptor >= 0) {
                close(descriptor);
            }
            continue;  // gone since it was listed
        }
        // The source takes the stream and closes it when the archive is written.
        zip_source_t* source = zip_source_filep(archive, stream, 0, -1);
        if (source == nullptr) {
            std::fclose(stream);
            problem = "cannot add " + file.name;
        } else if (zip_file_add(archive, (run.id + "/" + file.name).c_str(), source,
                                ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            problem = "cannot add " + file.name + ": " + zip_strerror(archive);
        }
    }
    if (archive != nullptr && problem.empty() && zip_close(archive) != 0) {
        problem = std::string("cannot write the archive: ") + zip_strerror(archive);
    }
    if (archive != nullptr && !problem.empty()) {
        zip_discard(archive);
    }
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    unlink(path.c_str());
    auto file = std::make_shared<OpenFile>(descriptor);
    struct stat status {};
    if (!problem.empty() || descriptor < 0 || fstat(descriptor, &status) != 0) {
        return errorResponse(500, problem.empty() ? "cannot read the archive back" : problem);
    }
    response.contentType = "application/zip";
    response.file = std::move(file);
    response.fileSize = static_cast<size_t>(status.st_size);
    response.headers.emplace_back("Content-Disposition",
                                  "attachment; filename=\"" + run.id + ".zip\"");
    return response;
}

ApiResponse ServeApi::putBackground(const ApiRequest& request) {
    if (session_.state().running) {
        return errorResponse(409, "the background cannot change during a run");
    }
    const bool json = request.contentType.rfind("application/json", 0) == 0;
    std::vector<std::string> sources;
    if (json) {
        if (request.body.size() > kBodyLimit) {
            return errorResponse(413, "a JSON body may hold at most 64 KiB");
        }
        JsonValue body;
        ApiResponse response;
        if (!parseJsonBody(request.body, &body, &response)) {
            return response;
        }
        FieldErrors errors;
        for (const auto& [key, value] : body.items()) {
            if (key != "run") {
                errors[key] = "unknown field " + key;
            }
        }
        const auto run = body.find("run");
        if (run == body.end() || !run->is_string()) {
            errors["run"] = "run must be the id of a background run";
        }
        if (!errors.empty()) {
            return errorResponse(422, "the request is wrong", errors);
        }
        RunRecord record;
        if (!findRun(run->get<std::string>(), &record, &response)) {
            return errorResponse(422, "no run " + run->get<std::string>(),
                                 {{"run", "no run with this id"}});
        }
        sources.push_back(record.directory);
    } else {
        // Uploaded single beams: one file in the body, or one per half as multipart parts.
        std::vector<std::string> uploads = request.uploads;
        if (uploads.empty()) {
            uploads.push_back(request.body);
        }
        // Kept under a new name each time: the session reads its background again at each run,
        // so a later upload must not change the one in use.
        const std::string directory = config_.dataDirectory + "/.uploads";
        mkdir(directory.c_str(), 0700);
        const std::string stamp = std::to_string(++uploadCount_) + "-" + std::to_string(getpid());
        for (size_t k = 0; k < uploads.size(); ++k) {
            const std::string path =
                directory + "/background-" + stamp + "-" + std::to_string(k) + ".jdx";
            const int descriptor =
                open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
            bool ok = descriptor >= 0;
            size_t written = 0;
            while (ok && written < uploads[k].size()) {
                const ssize_t n =
                    write(descriptor, uploads[k].data() + written, uploads[k].size() - written);
                ok = n > 0;
                written += ok ? static_cast<size_t>(n) : 0;
            }
            if (descriptor >= 0) {
                ok = close(descriptor) == 0 && ok;
            }
            if (!ok) {
                return errorResponse(500, "cannot keep the uploaded background");
            }
            sources.push_back(path);
        }
    }
    const Result set = session_.setBackground(sources);
    if (!set.ok()) {
        return errorResponse(422, set.message, {{json ? "run" : "file", set.message}});
    }
    return jsonResponse(200, stateJson(session_.state()));
}

ApiResponse ServeApi::deleteBackground(const ApiRequest&) {
    if (session_.state().running) {
        return errorResponse(409, "the background cannot change during a run");
    }
    session_.clearBackground();
    return jsonResponse(200, stateJson(session_.state()));
}

ApiResponse ServeApi::getOpenApi(const ApiRequest&) {
    ApiResponse response;
    response.body = openApiDocument();
    return response;
}

}  // namespace ostrel::acquire::serve
