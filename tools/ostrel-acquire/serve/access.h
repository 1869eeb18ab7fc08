// Who may use the server: the control token (256 bits from the operating system, hex), kept in
// a private file, compared in constant time; and the origins whose browsers may change anything.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ostrel::acquire::serve {

inline constexpr size_t kTokenBytes = 32;
// The cookie the page swaps the token for, so that its EventSource (which cannot send a header)
// is authorised too.
inline constexpr const char* kTokenCookie = "ostrel_token";

// A new token: kTokenBytes from getrandom(), as lowercase hex. False with *error when the
// system has no randomness to give.
bool newToken(std::string* token, std::string* error);

// Writes the token to path with mode 0600 (replacing a file there; never following a symlink).
bool writeTokenFile(const std::string& path, const std::string& token, std::string* error);
// Reads a token from a file (surrounding white space removed); it must be at least 32
// characters of printable ASCII without spaces.
bool readTokenFile(const std::string& path, std::string* token, std::string* error);

// True when candidate equals expected. The time taken depends on expected's length only, not
// on where the first difference is, so that a guesser learns nothing from the timing.
bool tokensEqual(std::string_view expected, std::string_view candidate);

// The token a request carries: "Authorization: Bearer T", else the ostrel_token cookie of its
// Cookie header; empty when neither.
std::string requestToken(std::string_view authorization, std::string_view cookieHeader);

// The origins ("http://127.0.0.1:8470") a browser shows for this server: the listening host,
// and for loopback its usual names too.
std::vector<std::string> ownOrigins(const std::string& host, int port, bool tls);

// Whether a changing request may go on: no Origin (not a browser: a script or curl), or an
// Origin that is the server's own. For a server on a wildcard address the Host the browser used
// counts as its own.
bool originAllowed(std::string_view origin, const std::vector<std::string>& own,
                   std::string_view hostHeader, bool wildcard, bool tls);

}  // namespace ostrel::acquire::serve
