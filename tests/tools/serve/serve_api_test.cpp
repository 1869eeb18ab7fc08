// The API as a script or the page uses it, against the server's built-in simulator on loopback:
// a background and a sample with the demonstration absorber, read back through downloads.
#include <gtest/gtest.h>
#include <zip.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "independent_jcamp_reader.h"
#include "serve_harness.h"

namespace ostrel::acquire::testing {
namespace {

using nlohmann::json;

class ServeFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<ServeProcess>(scratch_.path(), kQuickServe);
        ASSERT_TRUE(server_->ready()) << readFile(scratch_.path() + "/stderr.txt");
    }
    ScratchDirectory scratch_;
    std::unique_ptr<ServeProcess> server_;
};

TEST_F(ServeFlow, TokenFileIsPrivateAndTheUrlCarriesTheTokenInItsFragment) {
    struct stat status {};
    ASSERT_EQ(stat((server_->dataDirectory() + "/.token").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    std::string written = readFile(server_->dataDirectory() + "/.token");
    EXPECT_EQ(written, server_->token() + "\n");
    EXPECT_EQ(server_->token().size(), 64u);  // 256 bits in hex
    EXPECT_NE(server_->url().find("/#token="), std::string::npos);
}

// Full-size scans (the simulator's centre burst is in view without a calibration), four of 20 ms
// a file: slow enough that a loaded machine still fetches every file.
TEST(ServeMeasurement, BackgroundThenSampleShowsTheAbsorbersBandInTheDownloadedAbsorbance) {
    ScratchDirectory scratch_;
    auto server_ = std::make_unique<ServeProcess>(
        scratch_.path(),
        std::vector<std::string>{"serve", "--listen", "127.0.0.1:0", "--sim-scan-ms", "20",
                                 "--sim-sample-absorber", "1500:30:0.8", "--quiet"});
    ASSERT_TRUE(server_->ready());
    ASSERT_EQ(
        server_->send("PUT", "/api/settings", {{"points", 16384}, {"scans", 4}, {"plot", false}})
            .status,
        200);
    ASSERT_EQ(server_->send("POST", "/api/connection").status, 200);
    const json state = server_->get("/api/state").json();
    EXPECT_TRUE(state["connection"]["connected"].get<bool>());
    EXPECT_TRUE(state["connection"]["simulator"].get<bool>());
    EXPECT_EQ(state["settings"]["points"], 16384);

    const json background = server_->runToEnd({{"kind", "background"}, {"files", 4}});
    ASSERT_EQ(background.value("state", ""), "complete") << background.dump();
    EXPECT_EQ(server_->get("/api/state").json()["background"], json::array({background["id"]}));

    // The sample run: while it goes, every change is refused with 409.
    HttpReply started = server_->send("POST", "/api/runs",
                                      {{"kind", "sample"}, {"files", 6}, {"name", "demo sample"}});
    ASSERT_EQ(started.status, 201) << started.body;
    const std::string id = started.json()["id"];
    EXPECT_EQ(started.header("location"), "/api/runs/" + id);
    EXPECT_EQ(started.json()["name"], "demo sample");
    for (const auto& [method, path, body] : std::vector<std::tuple<std::string, std::string, json>>{
             {"POST", "/api/runs", {{"kind", "sample"}}},
             {"PUT", "/api/settings", {{"scans", 2}}},
             {"POST", "/api/calibration", json::object()},
             {"DELETE", "/api/background", json::object()},
             {"DELETE", "/api/connection", json::object()}}) {
        const HttpReply refused = server_->send(method, path, body);
        EXPECT_EQ(refused.status, 409) << method << " " << path << ": " << refused.body;
        EXPECT_TRUE(refused.json()["error"].is_string());
    }
    const json sample = server_->waitForRunEnd(id);
    ASSERT_EQ(sample.value("state", ""), "complete") << sample.dump();
    EXPECT_EQ(sample["files"].size(), 6u);

    // Newest first: the sample, then the background.
    const json runs = server_->get("/api/runs").json()["runs"];
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0]["id"], id);
    EXPECT_EQ(runs[1]["id"], background["id"]);
    EXPECT_EQ(server_->get("/api/runs?limit=1").json()["runs"].size(), 1u);
    const json older = server_->get("/api/runs?before=" + id).json()["runs"];
    ASSERT_EQ(older.size(), 1u);
    EXPECT_EQ(older[0]["id"], background["id"]);

    const json files = server_->get("/api/runs/" + id + "/files").json()["files"];
    std::map<std::string, std::string> types;
    for (const json& file : files) {
        types[file["name"]] = file["content_type"];
    }
    ASSERT_TRUE(types.count("absorbance-0006-forward.jdx")) << files.dump();
    EXPECT_EQ(types["summary.json"], "application/json");
    EXPECT_EQ(types["spectrum-0006.csv"], "text/csv; charset=utf-8");

    HttpReply download = server_->get("/api/runs/" + id + "/files/absorbance-0006-forward.jdx");
    ASSERT_EQ(download.status, 200);
    EXPECT_EQ(download.contentType, "chemical/x-jcamp-dx");
    EXPECT_NE(download.header("content-disposition").find("absorbance-0006-forward.jdx"),
              std::string::npos);
    EXPECT_EQ(download.body,
              readFile(server_->dataDirectory() + "/" + id + "/absorbance-0006-forward.jdx"));
    const std::string local = scratch_.path() + "/downloaded.jdx";
    std::ofstream(local, std::ios::binary) << download.body;
    json read;
    std::string error;
    ASSERT_TRUE(readJcampFiles({local}, &read, &error)) << error;
    const json& x = read[0]["x"];
    const json& y = read[0]["y"];
    double peak = -1.0;
    double peakX = 0.0;
    for (size_t k = 0; k < x.size(); ++k) {
        const double wavenumber = x[k].get<double>();
        if (wavenumber > 1000.0 && wavenumber < 2000.0 && y[k].is_number() &&
            y[k].get<double>() > peak) {
            peak = y[k].get<double>();
            peakX = wavenumber;
        }
    }
    // The band where the demonstration sample put it, at its height (broad enough that the
    // resolution hardly lowers it).
    EXPECT_NEAR(peakX, 1500.0, 2.0);
    EXPECT_NEAR(peak, 0.8, 0.05);

    HttpReply zipped = server_->get("/api/runs/" + id + "/zip");
    ASSERT_EQ(zipped.status, 200) << zipped.body;
    EXPECT_EQ(zipped.contentType, "application/zip");
    zip_error_t zipError;
    zip_source_t* source =
        zip_source_buffer_create(zipped.body.data(), zipped.body.size(), 0, &zipError);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &zipError);
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(zip_get_num_entries(archive, 0), static_cast<zip_int64_t>(files.size()));
    zip_stat_t entry;
    ASSERT_EQ(zip_stat(archive, (id + "/absorbance-0006-forward.jdx").c_str(), 0, &entry), 0);
    std::string inside(entry.size, '\0');
    zip_file_t* member = zip_fopen_index(archive, entry.index, 0);
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(zip_fread(member, inside.data(), inside.size()),
              static_cast<zip_int64_t>(inside.size()));
    zip_fclose(member);
    zip_close(archive);
    EXPECT_EQ(inside, download.body);
}

TEST_F(ServeFlow, BackgroundFromAnEarlierRunOrAnUploadAndItsClearing) {
    server_->connectQuickly();
    const json background = server_->runToEnd({{"kind", "background"}, {"files", 1}});
    ASSERT_EQ(server_->send("DELETE", "/api/background").status, 200);
    EXPECT_TRUE(server_->get("/api/state").json()["background"].empty());

    HttpReply set = server_->send("PUT", "/api/background", {{"run", background["id"]}});
    ASSERT_EQ(set.status, 200) << set.body;
    EXPECT_EQ(set.json()["background"], json::array({background["id"]}));
    EXPECT_EQ(server_->send("PUT", "/api/background", {{"run", "no-such-run"}}).status, 422);

    // An upload of one half is not enough for a run of both directions: 422 naming the file.
    const std::string forward =
        readFile(server_->dataDirectory() + "/" + background["id"].get<std::string>() +
                 "/mean-single-beam-forward.jdx");
    HttpReply half = server_->call({"PUT", "/api/background", forward, "chemical/x-jcamp-dx"});
    EXPECT_EQ(half.status, 422) << half.body;
    EXPECT_TRUE(half.json()["fields"].contains("file"));
    ASSERT_EQ(server_->send("PUT", "/api/settings", {{"direction", 1}}).status, 200);
    HttpReply whole = server_->call({"PUT", "/api/background", forward, "chemical/x-jcamp-dx"});
    EXPECT_EQ(whole.status, 200) << whole.body;
    HttpReply garbage =
        server_->call({"PUT", "/api/background", "##TITLE=x\n##END=\n", "chemical/x-jcamp-dx"});
    EXPECT_EQ(garbage.status, 422) << garbage.body;
}

// Align runs until stopped and keeps nothing: it is found while it runs, has no files to
// download, and a stop ends it.
TEST_F(ServeFlow, AlignRunsUntilStoppedAndKeepsNothing) {
    server_->connectQuickly();
    const HttpReply started = server_->send("POST", "/api/runs", {{"kind", "align"}});
    ASSERT_EQ(started.status, 201) << started.body;
    const std::string id = started.json()["id"];
    EXPECT_EQ(server_->get("/api/runs/" + id).json()["state"], "running");
    EXPECT_TRUE(server_->get("/api/runs/" + id + "/files").json()["files"].empty());
    EXPECT_EQ(server_->get("/api/runs/" + id + "/zip").status, 404);
    EXPECT_EQ(server_->send("POST", "/api/runs/" + id + "/stop").status, 202);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server_->get("/api/state").json()["running"].get<bool>() &&
           std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(server_->get("/api/state").json()["running"].get<bool>());
    EXPECT_EQ(server_->send("POST", "/api/runs/" + id + "/stop").status, 404);
    EXPECT_TRUE(server_->get("/api/runs").json()["runs"].empty());
}

// Every bad or unknown field of the settings is named in one answer, and nothing changes.
TEST_F(ServeFlow, SettingsNameEveryBadFieldAndChangeNothing) {
    const json before = server_->get("/api/settings").json();
    const json bad = {{"points", 0},           {"scans", "many"},     {"direction", 4},
                      {"apodization", "nope"}, {"zero_fill", 3},      {"phase", "x"},
                      {"format", "pdf"},       {"jcamp_form", "zip"}, {"bogus", 1},
                      {"laser_wavenumber", -1}};
    HttpReply reply = server_->send("PUT", "/api/settings", bad);
    ASSERT_EQ(reply.status, 422) << reply.body;
    const json fields = reply.json()["fields"];
    for (const auto& [field, value] : bad.items()) {
        EXPECT_TRUE(fields.contains(field)) << field << " in " << fields.dump();
    }
    EXPECT_EQ(server_->get("/api/settings").json(), before);
}

struct BadRequest {
    const char* name;
    std::string method;
    std::string path;
    std::string body;
    std::string contentType;
    int status;
};

void PrintTo(const BadRequest& row, std::ostream* out) {
    *out << row.method << " " << row.path;
}

class ServeBadInput : public ::testing::TestWithParam<BadRequest> {
  protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchDirectory;
        server_ = new ServeProcess(scratch_->path(), kQuickServe);
        ASSERT_TRUE(server_->ready());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete scratch_;
    }
    static ScratchDirectory* scratch_;
    static ServeProcess* server_;
};
ScratchDirectory* ServeBadInput::scratch_ = nullptr;
ServeProcess* ServeBadInput::server_ = nullptr;

TEST_P(ServeBadInput, IsAnsweredWithAJsonErrorAndTheServerGoesOn) {
    const BadRequest& row = GetParam();
    const HttpReply reply = server_->call({row.method, row.path, row.body, row.contentType});
    EXPECT_EQ(reply.status, row.status) << reply.body;
    EXPECT_TRUE(reply.json()["error"].is_string()) << reply.body;
    EXPECT_EQ(server_->get("/api/state").status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServeBadInput,
    ::testing::Values(
        BadRequest{"NotJson", "PUT", "/api/settings", "{points: 5", "application/json", 400},
        BadRequest{"NotUtf8", "PUT", "/api/settings", "{\"name\": \"\xff\xfe\"}",
                   "application/json", 400},
        BadRequest{"OverlongUtf8", "POST", "/api/runs", "{\"kind\": \"\xc0\xaf\"}",
                   "application/json", 400},
        BadRequest{"NotAnObject", "PUT", "/api/settings", "[1, 2]", "application/json", 400},
        BadRequest{"DeepNesting", "PUT", "/api/settings",
                   std::string(5000, '[') + std::string(5000, ']'), "application/json", 400},
        BadRequest{"RunWithoutKind", "POST", "/api/runs", "{}", "application/json", 422},
        BadRequest{"RunOfUnknownKind", "POST", "/api/runs", "{\"kind\": \"party\"}",
                   "application/json", 422},
        BadRequest{"NegativeFiles", "POST", "/api/runs", "{\"kind\": \"sample\", \"files\": -1}",
                   "application/json", 422},
        BadRequest{"HugeFiles", "POST", "/api/runs", "{\"kind\": \"sample\", \"files\": 1e300}",
                   "application/json", 422},
        BadRequest{"SeriesWithoutInterval", "POST", "/api/runs", "{\"kind\": \"series\"}",
                   "application/json", 422},
        BadRequest{"NameWithControlCharacters", "POST", "/api/runs",
                   "{\"kind\": \"sample\", \"name\": \"a\\u0000b\"}", "application/json", 422},
        BadRequest{"UnknownRunField", "POST", "/api/runs", "{\"kind\": \"sample\", \"x\": 1}",
                   "application/json", 422},
        BadRequest{"RunWhileNotConnected", "POST", "/api/runs", "{\"kind\": \"sample\"}",
                   "application/json", 409},
        BadRequest{"CalibrationWhileNotConnected", "POST", "/api/calibration", "",
                   "application/json", 409},
        BadRequest{"ConnectionWithUnknownField", "POST", "/api/connection", "{\"port\": 1}",
                   "application/json", 422},
        BadRequest{"AddressNotText", "POST", "/api/connection", "{\"address\": 5}",
                   "application/json", 422},
        BadRequest{"LimitNotANumber", "GET", "/api/runs?limit=abc", "", "", 400},
        BadRequest{"LimitZero", "GET", "/api/runs?limit=0", "", "", 400},
        BadRequest{"BeforeUnknown", "GET", "/api/runs?before=nope", "", "", 400},
        BadRequest{"UnknownRun", "GET", "/api/runs/20990101-000000-sample", "", "", 404},
        BadRequest{"StopOfUnknownRun", "POST", "/api/runs/nope/stop", "", "application/json", 404},
        BadRequest{"UnknownPath", "GET", "/api/nothing", "", "", 404},
        BadRequest{"WrongMethod", "PATCH", "/api/settings", "{}", "application/json", 405},
        BadRequest{"BackgroundOfNoRun", "PUT", "/api/background", "{\"run\": 5}",
                   "application/json", 422}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace ostrel::acquire::testing
