// Who may use the server and what it refuses: the token, origins, the Host named, body limits,
// download names, the headers of the page, where it listens and TLS.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <fstream>

#include "access.h"
#include "serve_harness.h"

namespace ostrel::acquire::testing {
namespace {

using nlohmann::json;

class ServeSecurity : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchDirectory;
        server_ = new ServeProcess(scratch_->path(), kQuickServe);
        ASSERT_TRUE(server_->ready());
        server_->connectQuickly();
        run_ = server_->runToEnd({{"kind", "sample"}, {"files", 1}})["id"];
    }
    static void TearDownTestSuite() {
        delete server_;
        delete scratch_;
    }
    static ScratchDirectory* scratch_;
    static ServeProcess* server_;
    static std::string run_;
};
ScratchDirectory* ServeSecurity::scratch_ = nullptr;
ServeProcess* ServeSecurity::server_ = nullptr;
std::string ServeSecurity::run_;

TEST_F(ServeSecurity, EveryApiPathAndTheEventStreamNeedTheToken) {
    std::string wrong = server_->token();
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    const std::vector<std::string> paths = {
        "/api/state",        "/api/settings", "/api/runs",   "/api/runs/" + run_ + "/files",
        "/api/openapi.json", "/events",       "/api/nothing"};
    for (const std::string& path : paths) {
        HttpCall anonymous{"GET", path};
        anonymous.token = false;
        EXPECT_EQ(server_->call(anonymous).status, 401) << path;
        HttpCall guessed{"GET", path};
        guessed.token = false;
        for (const std::string& token :
             {wrong, server_->token().substr(0, 63), server_->token() + "0", std::string("")}) {
            guessed.headers = {{"Authorization", "Bearer " + token}};
            EXPECT_EQ(server_->call(guessed).status, 401) << path << " with " << token;
        }
    }
    HttpCall change{"POST", "/api/runs", "{\"kind\": \"sample\"}"};
    change.token = false;
    EXPECT_EQ(server_->call(change).status, 401);
    // The page itself is public: it holds nothing but code.
    HttpCall page{"GET", "/"};
    page.token = false;
    EXPECT_EQ(server_->call(page).status, 200);
}

// The comparison takes every byte of the expected token, whatever the candidate: a mismatch in
// the first byte and one in the last go through the same loop.
TEST(ServeTokens, CompareWholeTokensOnly) {
    using ostrel::acquire::serve::tokensEqual;
    const std::string token(64, 'a');
    EXPECT_TRUE(tokensEqual(token, token));
    EXPECT_FALSE(tokensEqual(token, "b" + token.substr(1)));
    EXPECT_FALSE(tokensEqual(token, token.substr(0, 63) + "b"));
    EXPECT_FALSE(tokensEqual(token, token.substr(0, 63)));
    EXPECT_FALSE(tokensEqual(token, token + "a"));
    EXPECT_FALSE(tokensEqual(token, ""));
    EXPECT_FALSE(tokensEqual("", ""));  // a server without a token lets nobody in
    EXPECT_FALSE(tokensEqual(token, std::string(64, '\0')));
}

TEST_F(ServeSecurity, TheTokenIsSwappedForAStrictHttpOnlyCookieThatAuthorises) {
    HttpCall login{"POST", "/api/login", ""};
    const HttpReply reply = server_->call(login);
    ASSERT_EQ(reply.status, 204);
    const std::string cookie = reply.header("set-cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("ostrel_token=" + server_->token()), std::string::npos);
    HttpCall withCookie{"GET", "/api/state"};
    withCookie.token = false;
    withCookie.headers = {{"Cookie", "other=1; ostrel_token=" + server_->token()}};
    EXPECT_EQ(server_->call(withCookie).status, 200);
    withCookie.headers = {{"Cookie", "ostrel_token=" + std::string(64, '0')}};
    EXPECT_EQ(server_->call(withCookie).status, 401);
    HttpCall anonymousLogin{"POST", "/api/login", ""};
    anonymousLogin.token = false;
    EXPECT_EQ(server_->call(anonymousLogin).status, 401);
}

TEST_F(ServeSecurity, ChangingRequestsFromAForeignOriginAreRefused) {
    const std::string own = "http://127.0.0.1:" + std::to_string(server_->port());
    const std::vector<std::string> foreign = {
        "http://evil.example", "null", "http://127.0.0.1:" + std::to_string(server_->port() + 1),
        "https://127.0.0.1:" + std::to_string(server_->port())};
    for (const std::string& origin : foreign) {
        HttpCall call{"PUT", "/api/settings", "{\"scans\": 4}"};
        call.headers = {{"Origin", origin}};
        const HttpReply reply = server_->call(call);
        EXPECT_EQ(reply.status, 403) << origin;
        EXPECT_EQ(reply.header("access-control-allow-origin"), "");
        HttpCall login{"POST", "/api/login", ""};
        login.headers = {{"Origin", origin}};
        EXPECT_EQ(server_->call(login).status, 403) << origin;
    }
    const std::vector<std::string> ownOrigins = {
        own, "http://localhost:" + std::to_string(server_->port())};
    for (const std::string& origin : ownOrigins) {
        HttpCall call{"PUT", "/api/settings", "{\"scans\": 4}"};
        call.headers = {{"Origin", origin}};
        EXPECT_EQ(server_->call(call).status, 200) << origin;
    }
    // Reading is not refused (a browser's same-origin policy keeps the answer from a foreign
    // page, and no CORS header ever lets it through).
    HttpCall read{"GET", "/api/state"};
    read.headers = {{"Origin", "http://evil.example"}};
    const HttpReply reply = server_->call(read);
    EXPECT_EQ(reply.status, 200);
    for (const auto& [name, value] : reply.headers) {
        EXPECT_EQ(name.rfind("access-control-", 0), std::string::npos) << name;
    }
}

// DNS rebinding: a foreign page whose name now resolves to 127.0.0.1 is the page's own origin to
// its browser, but it names itself in Host. The token alone would keep it from the API; the
// server refuses it before anything else, the page included.
TEST_F(ServeSecurity, ARequestNamingAnotherHostIsRefusedEvenWithTheToken) {
    const std::string port = std::to_string(server_->port());
    for (const char* path : {"/", "/api/state"}) {
        HttpCall foreign{"GET", path};
        foreign.headers = {{"Host", "evil.example:" + port}};
        const HttpReply refused = server_->call(foreign);
        EXPECT_EQ(refused.status, 403) << path;
        EXPECT_NE(refused.body.find("loopback"), std::string::npos) << refused.body;
        HttpCall own{"GET", path};
        own.headers = {{"Host", "localhost:" + port}};
        EXPECT_EQ(server_->call(own).status, 200) << path;
    }
}

TEST_F(ServeSecurity, BodiesOverTheirLimitGet413) {
    const std::string big(64 * 1024 + 1, ' ');
    EXPECT_EQ(server_->call({"PUT", "/api/settings", big}).status, 413);
    EXPECT_EQ(server_->call({"POST", "/api/runs", big}).status, 413);
    // A JSON body to the upload path keeps the JSON limit; an upload may be up to 16 MiB. The
    // server answers a declared length over the limit before any of the body is sent.
    EXPECT_EQ(server_->call({"PUT", "/api/background", big}).status, 413);
    const std::string head =
        "PUT /api/background HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Authorization: Bearer " +
        server_->token() +
        "\r\nContent-Type: chemical/x-jcamp-dx\r\n"
        "Content-Length: 16777217\r\n\r\n";
    EXPECT_EQ(rawExchange(server_->port(), head).rfind("HTTP/1.1 413", 0), 0u);
    // A chunked body (no declared length) is cut at its limit too.
    std::string chunked =
        "PUT /api/settings HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Authorization: Bearer " +
        server_->token() +
        "\r\nContent-Type: application/json\r\n"
        "Transfer-Encoding: chunked\r\n\r\n";
    for (int k = 0; k < 17; ++k) {
        chunked += "1000\r\n" + std::string(4096, ' ') + "\r\n";
    }
    chunked += "0\r\n\r\n";
    EXPECT_EQ(rawExchange(server_->port(), chunked).rfind("HTTP/1.1 413", 0), 0u);
    EXPECT_EQ(server_->get("/api/state").status, 200);
}

TEST_F(ServeSecurity, DownloadNamesOutsideTheRunsListAreNotFound) {
    const std::string directory = server_->dataDirectory() + "/" + run_;
    ASSERT_EQ(symlink((server_->dataDirectory() + "/.token").c_str(),
                      (directory + "/linked.txt").c_str()),
              0);
    const std::string base = "/api/runs/" + run_ + "/files/";
    for (const std::string& name :
         {std::string("..%2F.token"), std::string("%2e%2e%2f.token"),
          std::string("..%2f..%2fetc%2fpasswd"), std::string("linked.txt"), std::string(".token"),
          std::string("..")}) {
        const HttpReply reply = server_->get(base + name);
        EXPECT_EQ(reply.status, 404) << name << ": " << reply.body.substr(0, 80);
        EXPECT_EQ(reply.body.find(server_->token()), std::string::npos) << name;
    }
    const std::vector<std::string> paths = {
        "/api/runs/..%2F" + run_ + "/files", "/api/runs/.token/files",
        "/api/runs/" + run_ + "/files/../../.token", "/api/runs/../zip"};
    for (const std::string& path : paths) {
        const HttpReply reply = server_->get(path);
        EXPECT_EQ(reply.status, 404) << path;
        EXPECT_EQ(reply.body.find(server_->token()), std::string::npos) << path;
    }
    // The listing leaves the symlink out, and a real file is served.
    const std::string list = server_->get("/api/runs/" + run_ + "/files").body;
    EXPECT_EQ(list.find("linked.txt"), std::string::npos);
    EXPECT_EQ(server_->get(base + "summary.json").status, 200);
}

TEST_F(ServeSecurity, ThePageComesWithAStrictContentSecurityPolicy) {
    HttpCall page{"GET", "/"};
    page.token = false;
    const HttpReply reply = server_->call(page);
    ASSERT_EQ(reply.status, 200);
    const std::string policy = reply.header("content-security-policy");
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << policy;
    EXPECT_EQ(policy.find("script-src 'self';"), policy.find("script-src")) << policy;
    EXPECT_EQ(policy.find("unsafe-eval"), std::string::npos) << policy;
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
    EXPECT_EQ(reply.header("x-content-type-options"), "nosniff");
    EXPECT_EQ(reply.header("x-frame-options"), "DENY");
    EXPECT_EQ(reply.header("referrer-policy"), "no-referrer");
    // No inline script in the page: every <script> has a src.
    size_t at = 0;
    while ((at = reply.body.find("<script", at)) != std::string::npos) {
        const size_t end = reply.body.find('>', at);
        EXPECT_NE(reply.body.substr(at, end - at).find("src="), std::string::npos);
        at = end;
    }
}

TEST(ServeListen, AnotherHostNeedsTlsOrAnExplicitInsecureOption) {
    ScratchDirectory scratch;
    ProcessResult refused =
        runTool({"serve", "--listen", "0.0.0.0:0", "--data", scratch.path() + "/data"}, {},
                scratch.path(), 15000);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("without TLS"), std::string::npos) << refused.err;
    EXPECT_FALSE(fileExists(scratch.path() + "/data/.token"));

    ServeProcess insecure(scratch.path(),
                          {"serve", "--listen", "0.0.0.0:0", "--insecure-network", "--quiet"});
    const std::string out = [&] {
        for (int k = 0; k < 500; ++k) {
            const std::string text = readFile(scratch.path() + "/stdout.txt");
            if (text.find("serving:") != std::string::npos) {
                return text;
            }
            usleep(10000);
        }
        return std::string();
    }();
    EXPECT_NE(out.find("serving: http://0.0.0.0:"), std::string::npos) << out;
    EXPECT_NE(readFile(scratch.path() + "/stderr.txt").find("WARNING"), std::string::npos);
}

TEST(ServeListen, TlsWorksWithASelfSignedCertificate) {
    ScratchDirectory scratch;
    const std::string cert = scratch.path() + "/cert.pem";
    const std::string key = scratch.path() + "/key.pem";
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 -addext "
        "subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
        key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ServeProcess server(scratch.path(), {"serve", "--listen", "127.0.0.1:0", "--tls-cert", cert,
                                         "--tls-key", key, "--quiet"});
    ASSERT_TRUE(server.ready()) << readFile(scratch.path() + "/stderr.txt");
    EXPECT_EQ(server.url().rfind("https://", 0), 0u);
    httplib::SSLClient client("127.0.0.1", server.port());
    client.set_ca_cert_path(cert.c_str());
    client.enable_server_certificate_verification(true);
    const auto reply = client.Get("/api/state", {{"Authorization", "Bearer " + server.token()}});
    ASSERT_TRUE(reply) << httplib::to_string(reply.error());
    EXPECT_EQ(reply->status, 200);
    const auto login = client.Post("/api/login", {{"Authorization", "Bearer " + server.token()}},
                                   "", "application/json");
    ASSERT_TRUE(login);
    EXPECT_NE(login->get_header_value("Set-Cookie").find("Secure"), std::string::npos);
    // Plain HTTP to the TLS port gets nothing useful.
    httplib::Client plain("127.0.0.1", server.port());
    plain.set_read_timeout(3, 0);
    const auto cleartext = plain.Get("/api/state", {{"Authorization", "Bearer " + server.token()}});
    EXPECT_TRUE(!cleartext || cleartext->status != 200);
}

// A service's output goes to a log: with --hide-token the URL comes without the token, and a
// token given in a file is the one that opens the API (and is not written over).
TEST(ServeTokenFile, HiddenTokenStaysOutOfTheOutputAndAGivenTokenFileIsUsed) {
    ScratchDirectory scratch;
    const std::string tokenFile = scratch.path() + "/lab-token";
    const std::string token(64, 'c');
    std::ofstream(tokenFile) << token << "\n";
    ToolProcess server({"serve", "--listen", "127.0.0.1:0", "--data", scratch.path() + "/data",
                        "--token-file", tokenFile, "--hide-token", "--quiet"},
                       {}, scratch.path());
    std::string out;
    for (int k = 0; k < 1500 && out.find("serving:") == std::string::npos; ++k) {
        usleep(10000);
        out = readFile(scratch.path() + "/stdout.txt");
    }
    const size_t colon = out.find("127.0.0.1:");
    ASSERT_NE(colon, std::string::npos) << out;
    EXPECT_EQ(out.find(token), std::string::npos) << out;
    EXPECT_NE(out.find(tokenFile), std::string::npos) << out;
    EXPECT_FALSE(fileExists(scratch.path() + "/data/.token"));
    const int port = std::stoi(out.substr(colon + 10));
    httplib::Client client("127.0.0.1", port);
    const auto reply = client.Get("/api/state", {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(15000).exitCode, 0);

    // A token file too short to be a secret is refused at start.
    std::ofstream(tokenFile) << "short\n";
    const ProcessResult refused = runTool({"serve", "--listen", "127.0.0.1:0", "--data",
                                           scratch.path() + "/data", "--token-file", tokenFile},
                                          {}, scratch.path(), 15000);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("32 to 1024 characters"), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace ostrel::acquire::testing
