#include "serve_server.h"

#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "access.h"

namespace ostrel::acquire::serve {
namespace {

constexpr std::chrono::milliseconds kHeartbeat{1000};
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 2;
constexpr size_t kFileChunk = 64 * 1024;

bool needsToken(const std::string& path) {
    return path.rfind("/api/", 0) == 0 || path == "/api" || path == "/events";
}

bool changingMethod(const std::string& method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

void sendJson(httplib::Response& response, const ApiResponse& answer) {
    response.status = answer.status;
    response.set_content(answer.body, answer.contentType.c_str());
}

// The body a request may have: uploads of a background are larger.
size_t bodyLimitFor(const httplib::Request& request) {
    return request.method == "PUT" && request.path == "/api/background" ? kUploadLimit : kBodyLimit;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& securityHeaders() {
    static const std::vector<std::pair<std::string, std::string>> headers = {
        // No inline script and nothing from elsewhere. Inline style is allowed: the charting
        // library writes style attributes into its legends and labels, and a style cannot run
        // code.
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
         "img-src 'self' data:; connect-src 'self'; base-uri 'none'; form-action 'self'; "
         "frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
    };
    return headers;
}

ServeServer::ServeServer(ServeApi& api, live::EventHub& hub, live::PageFiles page,
                         ServerSecurity security)
    : api_(api), hub_(hub), page_(std::move(page)), security_(std::move(security)) {
    if (security_.tlsCert.empty()) {
        server_ = std::make_unique<httplib::Server>();
    } else {
        server_ = std::make_unique<httplib::SSLServer>(security_.tlsCert.c_str(),
                                                       security_.tlsKey.c_str());
    }
}

ServeServer::~ServeServer() {
    stop();
}

void ServeServer::addRoutes() {
    httplib::Server& server = *server_;
    server.set_pre_routing_handler([this](const httplib::Request& request,
                                          httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        if (!live::hostAllowed(request.get_header_value("Host"), listenHost_)) {
            sendJson(response, errorResponse(403, live::kForeignHostText));
            return httplib::Server::HandlerResponse::Handled;
        }
        if (needsToken(request.path)) {
            const std::string token = requestToken(request.get_header_value("Authorization"),
                                                   request.get_header_value("Cookie"));
            if (!tokensEqual(security_.token, token)) {
                response.set_header("WWW-Authenticate", "Bearer");
                sendJson(response, errorResponse(401, token.empty() ? "this needs the token"
                                                                    : "the token is wrong"));
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (changingMethod(request.method) &&
            !originAllowed(request.get_header_value("Origin"), origins_,
                           request.get_header_value("Host"), wildcard_, tls())) {
            sendJson(response, errorResponse(403, "requests from another origin are refused"));
            return httplib::Server::HandlerResponse::Handled;
        }
        const std::string length = request.get_header_value("Content-Length");
        if (!length.empty()) {
            char* end = nullptr;
            const unsigned long long declared = std::strtoull(length.c_str(), &end, 10);
            if (end == length.c_str() || *end != '\0' || declared > bodyLimitFor(request)) {
                response.set_header("Connection", "close");
                sendJson(response,
                         errorResponse(413, "the body is larger than " +
                                                std::to_string(bodyLimitFor(request)) + " bytes"));
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    for (const Operation& operation : ServeApi::operations()) {
        std::string pattern;
        std::vector<std::string> names;
        const std::string path = operation.path;
        for (size_t k = 0; k < path.size(); ++k) {
            if (path[k] == '{') {
                const size_t close = path.find('}', k);
                names.push_back(path.substr(k + 1, close - k - 1));
                pattern += "([^/]+)";
                k = close;
            } else {
                pattern += path[k];
            }
        }
        const Operation* op = &operation;
        auto handler = [this, op, names](const httplib::Request& request,
                                         httplib::Response& response) {
            if (request.body.size() > op->bodyLimit) {
                sendJson(response,
                         errorResponse(413, "the body is larger than " +
                                                std::to_string(op->bodyLimit) + " bytes"));
                return;
            }
            ApiRequest call;
            for (size_t k = 0; k < names.size() && k + 1 < request.matches.size(); ++k) {
                call.params[names[k]] = request.matches[k + 1].str();
            }
            for (const auto& [key, value] : request.params) {
                call.query[key] = value;
            }
            call.body = request.body;
            call.contentType = request.get_header_value("Content-Type");
            for (const auto& [field, part] : request.files) {
                call.uploads.push_back(part.content);
            }
            const ApiResponse answer = api_.handle(*op, call);
            for (const auto& [name, value] : answer.headers) {
                response.set_header(name.c_str(), value);
            }
            if (answer.file == nullptr) {
                sendJson(response, answer);
                return;
            }
            response.status = answer.status;
            std::shared_ptr<OpenFile> file = answer.file;
            response.set_content_provider(
                answer.fileSize, answer.contentType.c_str(),
                [file](size_t offset, size_t length, httplib::DataSink& sink) {
                    char buffer[kFileChunk];
                    const size_t wanted = std::min(length, sizeof buffer);
                    const ssize_t got =
                        pread(file->descriptor, buffer, wanted, static_cast<off_t>(offset));
                    if (got <= 0) {
                        return false;  // the file shrank under us: the connection is cut
                    }
                    return sink.write(buffer, static_cast<size_t>(got));
                });
        };
        const std::string method = operation.method;
        if (method == "GET") {
            server.Get(pattern, handler);
        } else if (method == "POST") {
            server.Post(pattern, handler);
        } else if (method == "PUT") {
            server.Put(pattern, handler);
        } else {
            server.Delete(pattern, handler);
        }
    }

    server.Post("/api/login", [this](const httplib::Request&, httplib::Response& response) {
        // Reached only with the right token (checked before routing).
        std::string cookie = std::string(kTokenCookie) + "=" + security_.token +
                             "; HttpOnly; SameSite=Strict; Path=/";
        if (tls()) {
            cookie += "; Secure";
        }
        response.set_header("Set-Cookie", cookie);
        response.status = 204;
    });

    server.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
        std::shared_ptr<live::EventStream> stream = hub_.subscribe();
        if (stream == nullptr) {
            sendJson(response,
                     errorResponse(503, "too many event streams are open; close one and retry"));
            return;
        }
        auto first = std::make_shared<bool>(true);
        response.set_chunked_content_provider(
            "text/event-stream", [stream, first](size_t, httplib::DataSink& sink) {
                std::string text = *first ? "retry: 2000\n\n" : "";
                *first = false;
                if (!stream->next(&text, kHeartbeat)) {
                    sink.done();
                    return true;
                }
                if (text.empty()) {
                    text = ":\n\n";
                }
                return sink.write(text.data(), text.size());
            });
    });

    // Anything else under /api: 405 when the path is known with another method, else 404.
    auto unknown = [](const httplib::Request& request, httplib::Response& response) {
        for (const Operation& operation : ServeApi::operations()) {
            std::string pattern = operation.path;
            pattern = std::regex_replace(pattern, std::regex(R"(\{[a-z]+\})"), "[^/]+");
            if (std::regex_match(request.path, std::regex(pattern))) {
                sendJson(response, errorResponse(405, request.method + " is not allowed here"));
                return;
            }
        }
        sendJson(response, errorResponse(404, "no such resource: " + request.path));
    };
    const char* anyApi = R"(/api(/.*)?)";
    server.Get(anyApi, unknown);
    server.Post(anyApi, unknown);
    server.Put(anyApi, unknown);
    server.Delete(anyApi, unknown);
    server.Patch(anyApi, unknown);

    server.Get(R"(/[^?]*)", [this](const httplib::Request& request, httplib::Response& response) {
        const auto found = page_.find(request.path == "/index.html" ? "/" : request.path);
        if (found == page_.end()) {
            response.status = 404;
            response.set_content("not found\n", "text/plain; charset=utf-8");
            return;
        }
        response.set_header("Cache-Control", "no-cache");
        response.set_content(found->second.body, found->second.contentType.c_str());
    });
}

bool ServeServer::start(const live::LiveAddress& address, std::string* error) {
    if (!server_->is_valid()) {
        *error =
            "cannot use the TLS certificate " + security_.tlsCert + " and key " + security_.tlsKey;
        return false;
    }
    live::ListenerSettings settings;
    settings.threads = kServerThreads;
    settings.readTimeoutSeconds = kReadTimeoutSeconds;
    settings.writeTimeoutSeconds = kWriteTimeoutSeconds;
    settings.keepAliveSeconds = kKeepAliveSeconds;
    settings.bodyLimit = kUploadLimit;
    live::configureServer(*server_, settings);
    std::multimap<std::string, std::string, httplib::detail::ci> headers;
    for (const auto& [name, value] : securityHeaders()) {
        headers.emplace(name, value);
    }
    server_->set_default_headers(headers);
    // What the HTTP layer refuses by itself (a request it cannot read, a body over the limit)
    // is answered in JSON like everything else.
    const httplib::Server::HandlerWithResponse errorHandler = [](const httplib::Request&,
                                                                 httplib::Response& response) {
        if (response.body.empty()) {
            sendJson(response, errorResponse(response.status,
                                             response.status == 413
                                                 ? "the body is too large"
                                                 : "the request cannot be served (HTTP " +
                                                       std::to_string(response.status) + ")"));
        }
        return httplib::Server::HandlerResponse::Handled;
    };
    server_->set_error_handler(errorHandler);
    std::string reason;
    port_ = live::bindServer(*server_, address.host, address.port, &reason);
    if (port_ == 0) {
        *error =
            "cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " + reason;
        return false;
    }
    origins_ = ownOrigins(address.host, port_, tls());
    wildcard_ = address.host == "0.0.0.0" || address.host == "::";
    listenHost_ = address.host;
    addRoutes();
    if (!listener_.start(*server_)) {
        *error = "the server did not start";
        return false;
    }
    return true;
}

void ServeServer::stop() {
    listener_.stop();
}

}  // namespace ostrel::acquire::serve
