// How the tool turns a JSON value into text, for its files and its live view alike.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace ostrel::session {

// Members keep the order in which they were added, so a person reading a file finds the kind,
// the status or the file number first rather than in alphabetical order.
using JsonValue = nlohmann::ordered_json;

// The text of a document: indented by `indent` spaces per level, or on one line when indent is
// negative. Numbers JSON cannot hold (NaN, infinities) become null. Text that is not UTF-8 (a
// typed address or an operating-system message may carry such bytes) has those bytes replaced by
// U+FFFD instead of failing: a file or an event must never be lost to one odd character.
std::string jsonText(const JsonValue& document, int indent = -1);

}  // namespace ostrel::session
