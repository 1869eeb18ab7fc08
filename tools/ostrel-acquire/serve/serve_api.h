// The HTTP API as one table of operations over the session. Each operation is a method, a path
// pattern ("/api/runs/{id}/files/{name}"), whether it changes anything (changing requests are
// refused from a foreign Origin), its body limit, and a handler that turns a request into
// session calls and a response. The transport (serve_server.cpp) makes its routes from the table
// and the OpenAPI document lists the same table; handlers know nothing of HTTP libraries.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api_json.h"
#include "ostrel_session/session.h"

namespace ostrel::acquire::serve {

inline constexpr size_t kBodyLimit = 64 * 1024;
inline constexpr size_t kUploadLimit = 16 * 1024 * 1024;

struct ApiRequest {
    std::map<std::string, std::string> params;  // from the path pattern
    std::map<std::string, std::string> query;
    std::string body;
    std::string contentType;
    // Parts of a multipart/form-data body: file name to content.
    std::vector<std::string> uploads;
};

// A file the response streams from an open descriptor (never reopened by name).
struct OpenFile {
    explicit OpenFile(int fd) : descriptor(fd) {}
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int descriptor;
};

struct ApiResponse {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<OpenFile> file;  // when set, the body is this file's fileSize bytes
    size_t fileSize = 0;
};

class ServeEvents;

struct ServeApiConfig {
    std::string dataDirectory;
    std::string address;  // the instrument's address from the command line; empty: simulator
    // The simulator's absorbers of every run, and those added during sample runs.
    std::vector<std::string> baseAbsorbers;
    std::vector<std::string> sampleAbsorbers;
};

class ServeApi;

struct Operation {
    const char* method;  // "GET", "PUT", "POST", "DELETE"
    const char* path;
    size_t bodyLimit;
    const char* summary;
    ApiResponse (ServeApi::*handler)(const ApiRequest&);

    bool changing() const;
};

class ServeApi {
  public:
    ServeApi(ostrel::session::Session& session, ServeApiConfig config, ServeEvents* events);

    static const std::vector<Operation>& operations();
    ApiResponse handle(const Operation& operation, const ApiRequest& request);

    ApiResponse getState(const ApiRequest&);
    ApiResponse getSettings(const ApiRequest&);
    ApiResponse putSettings(const ApiRequest&);
    ApiResponse connect(const ApiRequest&);
    ApiResponse disconnect(const ApiRequest&);
    ApiResponse calibrate(const ApiRequest&);
    ApiResponse startRun(const ApiRequest&);
    ApiResponse stopRun(const ApiRequest&);
    ApiResponse listRuns(const ApiRequest&);
    ApiResponse getRun(const ApiRequest&);
    ApiResponse listFiles(const ApiRequest&);
    ApiResponse getFile(const ApiRequest&);
    ApiResponse getZip(const ApiRequest&);
    ApiResponse putBackground(const ApiRequest&);
    ApiResponse deleteBackground(const ApiRequest&);
    ApiResponse getOpenApi(const ApiRequest&);

  private:
    // The run with this id in the history; false (and a 404 in *response) when there is none.
    bool findRun(const std::string& id, ostrel::session::RunRecord* run, ApiResponse* response);

    ostrel::session::Session& session_;
    const ServeApiConfig config_;
    ServeEvents* events_;
    std::atomic<uint64_t> uploadCount_{0};
};

// A JSON response.
ApiResponse jsonResponse(int status, const JsonValue& json);
ApiResponse errorResponse(int status, const std::string& message,
                          const ostrel::session::FieldErrors& fields = {});

// A request body as a JSON object: false with a 400 (not JSON, not UTF-8, not an object) in
// *response. An empty body is an empty object.
bool parseJsonBody(const std::string& body, JsonValue* json, ApiResponse* response);

// The files of a run's directory that may be downloaded: regular files (never a symlink, a
// directory or a hidden file), sorted by name.
struct RunFile {
    std::string name;
    uint64_t size = 0;
};
std::vector<RunFile> runFiles(const std::string& directory);

// The Content-Type of a run's file by its extension.
const char* contentTypeFor(const std::string& name);

// The HTTP status for a session failure.
int statusFor(ostrel::session::Failure failure);

}  // namespace ostrel::acquire::serve
