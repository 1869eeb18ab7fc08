#include "access.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ostrel::acquire::serve {

bool newToken(std::string* token, std::string* error) {
    unsigned char bytes[kTokenBytes];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            *error = std::string("cannot make a token: getrandom: ") + std::strerror(errno);
            return false;
        }
        filled += static_cast<size_t>(got);
    }
    static const char kHex[] = "0123456789abcdef";
    token->clear();
    for (const unsigned char byte : bytes) {
        token->push_back(kHex[byte >> 4]);
        token->push_back(kHex[byte & 15]);
    }
    return true;
}

bool writeTokenFile(const std::string& path, const std::string& token, std::string* error) {
    // Created private from the start (no moment at which it is readable by others), and a
    // symlink planted at the path is refused rather than followed.
    const int descriptor =
        open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        *error = "cannot write the token to " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = token + "\n";
    bool ok = fchmod(descriptor, 0600) == 0;
    size_t written = 0;
    while (ok && written < text.size()) {
        const ssize_t n = write(descriptor, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        written += ok ? static_cast<size_t>(n) : 0;
    }
    const int savedErrno = errno;
    ok = close(descriptor) == 0 && ok;
    if (!ok) {
        *error = "cannot write the token to " + path + ": " + std::strerror(savedErrno);
    }
    return ok;
}

bool readTokenFile(const std::string& path, std::string* token, std::string* error) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    if (!stream) {
        *error = "cannot read the token file " + path;
        return false;
    }
    std::string text = contents.str();
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    if (text.size() < 32 || text.size() > 1024) {
        *error = "the token in " + path + " must be 32 to 1024 characters";
        return false;
    }
    for (const char c : text) {
        if (c <= ' ' || c > '~') {
            *error = "the token in " + path + " must be printable ASCII without spaces";
            return false;
        }
    }
    *token = text;
    return true;
}

bool tokensEqual(std::string_view expected, std::string_view candidate) {
    // Every byte of expected is compared whatever the candidate holds (a missing byte compares
    // with 0), and the length difference is folded in at the end: no early exit.
    unsigned difference = expected.size() == candidate.size() ? 0u : 1u;
    for (size_t k = 0; k < expected.size(); ++k) {
        const unsigned char other =
            k < candidate.size() ? static_cast<unsigned char>(candidate[k]) : 0;
        difference |= static_cast<unsigned>(static_cast<unsigned char>(expected[k]) ^ other);
    }
    // volatile: keeps the compiler from turning the loop back into an early-exit compare.
    volatile unsigned result = difference;
    return result == 0 && !expected.empty();
}

std::string requestToken(std::string_view authorization, std::string_view cookieHeader) {
    constexpr std::string_view kBearer = "Bearer ";
    if (authorization.size() > kBearer.size() &&
        authorization.substr(0, kBearer.size()) == kBearer) {
        return std::string(authorization.substr(kBearer.size()));
    }
    const std::string name = std::string(kTokenCookie) + "=";
    size_t at = 0;
    while (at < cookieHeader.size()) {
        size_t end = cookieHeader.find(';', at);
        if (end == std::string_view::npos) {
            end = cookieHeader.size();
        }
        std::string_view pair = cookieHeader.substr(at, end - at);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        if (pair.substr(0, name.size()) == name) {
            return std::string(pair.substr(name.size()));
        }
        at = end + 1;
    }
    return "";
}

std::vector<std::string> ownOrigins(const std::string& host, int port, bool tls) {
    const std::string scheme = tls ? "https://" : "http://";
    const std::string suffix = ":" + std::to_string(port);
    std::vector<std::string> hosts{host.find(':') != std::string::npos ? "[" + host + "]" : host};
    if (host.rfind("127.", 0) == 0 || host == "localhost" || host == "::1") {
        for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
            hosts.emplace_back(name);
        }
    }
    std::vector<std::string> origins;
    for (const std::string& name : hosts) {
        origins.push_back(scheme + name + suffix);
    }
    return origins;
}

bool originAllowed(std::string_view origin, const std::vector<std::string>& own,
                   std::string_view hostHeader, bool wildcard, bool tls) {
    if (origin.empty()) {
        return true;
    }
    for (const std::string& allowed : own) {
        if (origin == allowed) {
            return true;
        }
    }
    if (wildcard && !hostHeader.empty()) {
        const std::string expected =
            std::string(tls ? "https://" : "http://") + std::string(hostHeader);
        return origin == expected;
    }
    return false;
}

}  // namespace ostrel::acquire::serve
