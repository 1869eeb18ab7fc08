#include "openapi.h"

#include <nlohmann/json.hpp>

#include "ostrel_session/json_text.h"
#include "serve_api.h"

namespace ostrel::acquire::serve {
namespace {

// Every request to a loopback server must name a loopback host; a changing one must also come
// from no browser or from the server's own origin.
constexpr const char* kForeignHostReply =
    "the request names a host that is not this machine's loopback";
constexpr const char* kRefusedReply =
    "the request names a host that is not this machine's loopback, or comes from a foreign Origin";

using ostrel::session::JsonValue;

// The schemas the responses follow. Kept strict enough that a test validating every response
// against them catches a renamed or missing member.
const char* const kComponents = R"json({
  "securitySchemes": {
    "bearer": {"type": "http", "scheme": "bearer"},
    "cookie": {"type": "apiKey", "in": "cookie", "name": "ostrel_token"}
  },
  "schemas": {
    "Error": {
      "type": "object", "required": ["error"],
      "properties": {
        "error": {"type": "string"},
        "fields": {"type": "object", "additionalProperties": {"type": "string"}}
      }
    },
    "Settings": {
      "type": "object",
      "properties": {
        "points": {"type": "integer"}, "scans": {"type": "integer"},
        "direction": {"type": "integer"}, "gain": {"type": "integer"},
        "skip": {"type": "integer"}, "laser_wavenumber": {"type": "number"},
        "undersampling": {"type": "integer"}, "apodization": {"type": "string"},
        "zero_fill": {"type": "integer"}, "phase": {"type": "string"},
        "phase_resolution": {"type": "number"},
        "range_low": {"type": "number", "nullable": true},
        "range_high": {"type": "number", "nullable": true},
        "format": {"type": "string"}, "jcamp_form": {"type": "string"},
        "background_threshold_percent": {"type": "number"}, "plot": {"type": "boolean"}
      }
    },
    "FileRecord": {
      "type": "object", "required": ["number", "interferogram", "spectrum", "timestamp_ms"],
      "properties": {
        "number": {"type": "integer"}, "interferogram": {"type": "string"},
        "spectrum": {"type": "string"}, "timestamp_ms": {"type": "number"}
      }
    },
    "Run": {
      "type": "object",
      "required": ["id", "kind", "name", "state", "started", "started_ms", "error", "files"],
      "properties": {
        "id": {"type": "string"},
        "kind": {"type": "string", "enum": ["acquire", "align", "background", "sample", "series"]},
        "name": {"type": "string"},
        "state": {"type": "string",
                  "enum": ["running", "complete", "stopped", "interrupted", "failed", "unreadable"]},
        "started": {"type": "string"}, "started_ms": {"type": "number"},
        "error": {"type": "string"},
        "files": {"type": "array", "items": {"$ref": "#/components/schemas/FileRecord"}}
      }
    },
    "RunList": {
      "type": "object", "required": ["runs", "more"],
      "properties": {
        "runs": {"type": "array", "items": {"$ref": "#/components/schemas/Run"}},
        "more": {"type": "boolean"}
      }
    },
    "FileList": {
      "type": "object", "required": ["run", "files"],
      "properties": {
        "run": {"type": "string"},
        "files": {"type": "array", "items": {
          "type": "object", "required": ["name", "size", "content_type"],
          "properties": {"name": {"type": "string"}, "size": {"type": "integer"},
                         "content_type": {"type": "string"}}}}
      }
    },
    "State": {
      "type": "object",
      "required": ["connection", "driver_status", "running", "active_run", "settings",
                   "background", "last_error"],
      "properties": {
        "connection": {
          "type": "object",
          "required": ["connected", "simulator", "address", "instrument_version",
                       "calibrated_skip"],
          "properties": {
            "connected": {"type": "boolean"}, "simulator": {"type": "boolean"},
            "address": {"type": "string"}, "instrument_version": {"type": "integer"},
            "calibrated_skip": {"type": "integer"}
          }
        },
        "driver_status": {
          "type": "object", "required": ["code", "text"],
          "properties": {"code": {"type": "integer"}, "text": {"type": "string"}}
        },
        "running": {"type": "boolean"},
        "active_run": {"allOf": [{"$ref": "#/components/schemas/Run"}], "nullable": true},
        "settings": {"$ref": "#/components/schemas/Settings"},
        "background": {"type": "array", "items": {"type": "string"}},
        "last_error": {
          "type": "object", "nullable": true, "required": ["message", "detail", "code", "hint"],
          "properties": {
            "message": {"type": "string"}, "detail": {"type": "string"},
            "code": {"type": "integer"}, "hint": {"type": "string"}
          }
        }
      }
    },
    "RunRequest": {
      "type": "object", "required": ["kind"], "additionalProperties": false,
      "properties": {
        "kind": {"type": "string", "enum": ["align", "background", "sample", "series"]},
        "files": {"type": "integer", "minimum": 0},
        "name": {"type": "string", "maxLength": 200},
        "interval_s": {"type": "number", "minimum": 0}
      }
    }
  }
})json";

JsonValue ref(const char* schema) {
    return {{"$ref", std::string("#/components/schemas/") + schema}};
}

JsonValue jsonContent(const JsonValue& schema) {
    return {{"application/json", {{"schema", schema}}}};
}

JsonValue errorReply(const char* description) {
    return {{"description", description}, {"content", jsonContent(ref("Error"))}};
}

// What each operation answers besides the errors every operation may give.
JsonValue responsesFor(const std::string& method, const std::string& path) {
    JsonValue responses;
    auto ok = [&](int status, const char* description, const JsonValue& content) {
        responses[std::to_string(status)] = {{"description", description}, {"content", content}};
    };
    const JsonValue file = {
        {"application/octet-stream", {{"schema", {{"type", "string"}, {"format", "binary"}}}}}};
    if (path == "/api/settings") {
        ok(200, "the settings", jsonContent(ref("Settings")));
    } else if (path == "/api/runs" && method == "post") {
        ok(201, "the run started", jsonContent(ref("Run")));
        responses["201"]["headers"] = {
            {"Location", {{"description", "the run's URL"}, {"schema", {{"type", "string"}}}}}};
    } else if (path == "/api/runs") {
        ok(200, "the runs, newest first", jsonContent(ref("RunList")));
    } else if (path == "/api/runs/{id}") {
        ok(200, "the run", jsonContent(ref("Run")));
    } else if (path == "/api/runs/{id}/stop") {
        ok(202, "the run is asked to stop", jsonContent(ref("Run")));
    } else if (path == "/api/runs/{id}/files") {
        ok(200, "the run's files", jsonContent(ref("FileList")));
    } else if (path == "/api/runs/{id}/files/{name}") {
        ok(200, "the file, with its Content-Type", file);
    } else if (path == "/api/runs/{id}/zip") {
        ok(200, "the run's files in a ZIP archive",
           {{"application/zip", {{"schema", {{"type", "string"}, {"format", "binary"}}}}}});
    } else if (path == "/api/openapi.json") {
        ok(200, "this document", jsonContent({{"type", "object"}}));
    } else {
        ok(200, "the session's state", jsonContent(ref("State")));
    }
    responses["400"] = errorReply("the body or a parameter cannot be read");
    responses["401"] = errorReply("no token, or a wrong one");
    responses["403"] = errorReply(kForeignHostReply);
    if (method != "get") {
        responses["403"] = errorReply(kRefusedReply);
        responses["409"] = errorReply("not now: a run is active, or not connected");
        responses["413"] = errorReply("the body is too large");
        responses["422"] = errorReply("a field is wrong; fields names each one");
        responses["502"] = errorReply("the instrument refused or did not answer");
    }
    if (path.find("{id}") != std::string::npos) {
        responses["404"] = errorReply("no such run or file");
    }
    responses["500"] = errorReply("the server could not do it");
    return responses;
}

JsonValue requestBodyFor(const std::string& method, const std::string& path) {
    if (path == "/api/settings" && method == "put") {
        return {{"required", true}, {"content", jsonContent(ref("Settings"))}};
    }
    if (path == "/api/runs" && method == "post") {
        return {{"required", true}, {"content", jsonContent(ref("RunRequest"))}};
    }
    if (path == "/api/connection" && method == "post") {
        return {{"required", false},
                {"content", jsonContent({{"type", "object"},
                                         {"additionalProperties", false},
                                         {"properties", {{"address", {{"type", "string"}}}}}})}};
    }
    if (path == "/api/background" && method == "put") {
        const JsonValue binary = {{"schema", {{"type", "string"}, {"format", "binary"}}}};
        return {{"required", true},
                {"content",
                 {{"application/json",
                   {{"schema",
                     {{"type", "object"},
                      {"required", {"run"}},
                      {"additionalProperties", false},
                      {"properties", {{"run", {{"type", "string"}}}}}}}}},
                  {"chemical/x-jcamp-dx", binary},
                  {"multipart/form-data",
                   {{"schema",
                     {{"type", "object"},
                      {"properties",
                       {{"file",
                         {{"type", "array"},
                          {"items", {{"type", "string"}, {"format", "binary"}}}}}}}}}}}}}};
    }
    return nullptr;
}

JsonValue buildDocument() {
    JsonValue document;
    document["openapi"] = "3.0.3";
    document["info"] = {{"title", "ostrel-acquire serve"},
                        {"version", "1.0.0"},
                        {"description",
                         "The instrument as a service: one session, its runs and their files. "
                         "Every request needs the token (Bearer, or the cookie POST /api/login "
                         "sets). Events: GET /events (Server-Sent Events: state, run, progress, "
                         "file, error, end)."}};
    document["servers"] = JsonValue::array({{{"url", "/"}}});
    document["security"] =
        JsonValue::array({{{"bearer", JsonValue::array()}}, {{"cookie", JsonValue::array()}}});
    JsonValue paths = JsonValue::object();
    for (const Operation& operation : ServeApi::operations()) {
        std::string method = operation.method;
        for (char& c : method) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const std::string path = operation.path;
        JsonValue entry;
        entry["summary"] = operation.summary;
        std::string id;
        for (const char c : method + path) {
            id.push_back(std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_');
        }
        entry["operationId"] = id;
        JsonValue parameters = JsonValue::array();
        for (size_t open = path.find('{'); open != std::string::npos;
             open = path.find('{', open + 1)) {
            const size_t close = path.find('}', open);
            parameters.push_back({{"name", path.substr(open + 1, close - open - 1)},
                                  {"in", "path"},
                                  {"required", true},
                                  {"schema", {{"type", "string"}}}});
        }
        if (path == "/api/runs" && method == "get") {
            parameters.push_back({{"name", "limit"},
                                  {"in", "query"},
                                  {"required", false},
                                  {"schema", {{"type", "integer"}, {"minimum", 1}}}});
            parameters.push_back({{"name", "before"},
                                  {"in", "query"},
                                  {"required", false},
                                  {"schema", {{"type", "string"}}}});
        }
        if (!parameters.empty()) {
            entry["parameters"] = std::move(parameters);
        }
        const JsonValue body = requestBodyFor(method, path);
        if (!body.is_null()) {
            entry["requestBody"] = body;
        }
        entry["responses"] = responsesFor(method, path);
        paths[path][method] = std::move(entry);
    }
    paths["/api/login"]["post"] = {
        {"summary", "Swap the token (as Bearer) for an HttpOnly, SameSite=Strict cookie"},
        {"operationId", "post_api_login"},
        {"responses",
         {{"204", {{"description", "the cookie is set"}}},
          {"401", errorReply("no token, or a wrong one")},
          {"403", errorReply(kRefusedReply)}}}};
    paths["/events"]["get"] = {
        {"summary", "Server-Sent Events: state, run, progress, file, error, end"},
        {"operationId", "get_events"},
        {"responses",
         {{"200",
           {{"description", "the event stream"},
            {"content", {{"text/event-stream", {{"schema", {{"type", "string"}}}}}}}}},
          {"401", errorReply("no token, or a wrong one")},
          {"403", errorReply(kForeignHostReply)},
          {"503", errorReply("too many event streams are open")}}}};
    document["paths"] = std::move(paths);
    document["components"] = JsonValue::parse(kComponents);
    return document;
}

}  // namespace

const std::string& openApiDocument() {
    static const std::string text = ostrel::session::jsonText(buildDocument(), 1);
    return text;
}

}  // namespace ostrel::acquire::serve
