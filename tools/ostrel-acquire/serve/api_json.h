// The JSON forms the server sends: the session's state, a run, an error.
#pragma once

#include <string>

#include "ostrel_session/json_text.h"
#include "ostrel_session/session.h"

namespace ostrel::acquire::serve {

using ostrel::session::JsonValue;

// connection, driver_status, running, active_run, settings, background, last_error.
JsonValue stateJson(const ostrel::session::SessionState& state);

// id, kind, name, state, started, started_ms, error, files (number, interferogram, spectrum,
// timestamp_ms). The directory is not sent: clients name a run by its id.
JsonValue runJson(const ostrel::session::RunRecord& run);

// {"error": message, "fields": {...}} (fields only when there are any).
JsonValue errorJson(const std::string& message, const ostrel::session::FieldErrors& fields = {});

}  // namespace ostrel::acquire::serve
