// What a request's body says, checked before anything reaches the session: a JSON object (UTF-8,
// valid JSON), the settings it changes with every bad field named, a run's request. Kept apart
// from the HTTP handlers so that a fuzz target can feed it arbitrary bodies.
#pragma once

#include <string>

#include "ostrel_session/json_text.h"
#include "ostrel_session/session.h"
#include "ostrel_session/settings.h"

namespace ostrel::acquire::serve {

using ostrel::session::JsonValue;

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool isUtf8(const std::string& text);

// A body as a JSON object; an empty body is an empty object. False with *error when it is not
// UTF-8, not JSON or not an object.
bool parseJsonObject(const std::string& body, JsonValue* json, std::string* error);

// Applies the members of body over *settings and checks the result. False with every bad or
// unknown member in *errors (and *settings as it was).
bool settingsFromBody(const JsonValue& body, ostrel::session::Settings* settings,
                      ostrel::session::FieldErrors* errors);

// A run's request from {"kind", "files", "name", "interval_s"}: false with every bad or unknown
// member named in *errors.
bool parseRunRequest(const JsonValue& body, ostrel::session::RunRequest* request,
                     ostrel::session::FieldErrors* errors);

}  // namespace ostrel::acquire::serve
