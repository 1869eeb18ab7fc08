// The live view's parts that need no network: thinning curves, the --live address, the event
// hub's queues, and the file event's content.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

#include "decimate.h"
#include "event_hub.h"
#include "http_listener.h"
#include "live_address.h"
#include "live_events.h"

namespace ostrel::acquire::live {
namespace {

using std::chrono::milliseconds;

TEST(Decimation, KeepsEveryPeakAndTroughWithinThePointLimit) {
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (const size_t count : {size_t{16384}, size_t{65537}, size_t{4001}}) {
        std::vector<double> curve(count);
        for (double& value : curve) {
            value = noise(random);
        }
        // A centre burst one sample wide, and a deep trough beside it: plain subsampling would
        // almost surely skip both.
        curve[count / 2 + 1] = 50.0;
        curve[count / 2 + 2] = -40.0;
        const std::vector<size_t> kept = decimationIndices(curve.data(), count, kMaxCurvePoints);
        ASSERT_LE(kept.size(), kMaxCurvePoints) << count;
        EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
        EXPECT_EQ(std::adjacent_find(kept.begin(), kept.end()), kept.end()) << "no repeats";
        // The ends, whatever their values: a chart's axis must not jump from file to file.
        EXPECT_EQ(kept.front(), 0u);
        EXPECT_EQ(kept.back(), count - 1);
        EXPECT_NE(std::find(kept.begin(), kept.end(), count / 2 + 1), kept.end());
        EXPECT_NE(std::find(kept.begin(), kept.end(), count / 2 + 2), kept.end());
        // The outline: every sample has a drawn sample at least as high, and one at least as
        // low, within two buckets of it.
        const size_t reach = 2 * (count / (kMaxCurvePoints / 2) + 1);
        for (size_t k = 0; k < count; k += 97) {
            bool higher = false;
            bool lower = false;
            for (const size_t index : kept) {
                if (index + reach >= k && index <= k + reach) {
                    higher = higher || curve[index] >= curve[k];
                    lower = lower || curve[index] <= curve[k];
                }
            }
            EXPECT_TRUE(higher && lower) << "sample " << k << " of " << count;
        }
    }
}

TEST(Decimation, ShortCurvesPassWholeAndNanNeverHidesANumber) {
    const std::vector<double> shortCurve = {3.0, 1.0, 2.0};
    EXPECT_EQ(decimationIndices(shortCurve.data(), 3, 2000), (std::vector<size_t>{0, 1, 2}));
    EXPECT_TRUE(decimationIndices(nullptr, 0, 2000).empty());

    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> curve(100, nan);
    curve[37] = 5.0;
    const std::vector<size_t> kept = decimationIndices(curve.data(), curve.size(), 2);
    EXPECT_EQ(kept, (std::vector<size_t>{0, 37, 99})) << "the ends mark the axis, as gaps";
}

TEST(DisplayRounding, SixSignificantDigitsAndNonFiniteValuesUntouched) {
    EXPECT_EQ(roundForDisplay(3.14159265358979), 3.14159);
    EXPECT_EQ(roundForDisplay(-0.000123456789), -0.000123457);
    EXPECT_EQ(roundForDisplay(1234567.89), 1234570.0);
    EXPECT_TRUE(std::isnan(roundForDisplay(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_EQ(roundForDisplay(std::numeric_limits<double>::infinity()),
              std::numeric_limits<double>::infinity());
}

struct AddressRow {
    const char* text;
    bool valid;
    const char* host;
    int port;
    bool loopback;
};

void PrintTo(const AddressRow& row, std::ostream* out) {
    *out << '"' << row.text << '"';
}

class LiveAddressText : public ::testing::TestWithParam<AddressRow> {};

TEST_P(LiveAddressText, ParsesHostAndPortAndKnowsWhatOnlyThisComputerReaches) {
    const AddressRow& row = GetParam();
    LiveAddress address;
    std::string error;
    ASSERT_EQ(parseLiveAddress(row.text, &address, &error), row.valid) << error;
    if (row.valid) {
        EXPECT_EQ(address.host, row.host);
        EXPECT_EQ(address.port, row.port);
        EXPECT_EQ(isLoopbackHost(address.host), row.loopback);
    } else {
        EXPECT_FALSE(error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LiveAddressText,
    ::testing::Values(AddressRow{"8080", true, "127.0.0.1", 8080, true},
                      AddressRow{"0", true, "127.0.0.1", 0, true},
                      AddressRow{"127.0.0.2:9000", true, "127.0.0.2", 9000, true},
                      AddressRow{"localhost:80", true, "localhost", 80, true},
                      AddressRow{"[::1]:8080", true, "::1", 8080, true},
                      AddressRow{"0.0.0.0:8080", true, "0.0.0.0", 8080, false},
                      AddressRow{"192.168.1.20:8080", true, "192.168.1.20", 8080, false},
                      AddressRow{"lab-pc:8080", true, "lab-pc", 8080, false},
                      AddressRow{"65536", false, "", 0, false},
                      AddressRow{"-1", false, "", 0, false}, AddressRow{"80x", false, "", 0, false},
                      AddressRow{"host:", false, "", 0, false},
                      AddressRow{":8080", false, "", 0, false},
                      AddressRow{"::1:8080", false, "", 0, false}));

std::string frame(const char* name, const std::string& data) {
    return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

// A page of another site whose name resolves to 127.0.0.1 must not reach a loopback server:
// names that only look like loopback are refused too, and other servers take any name.
TEST(HostCheck, ALoopbackServerAnswersOnlyToLoopbackNames) {
    for (const char* host : {"127.0.0.1:8470", "localhost:8470", "LocalHost", "localhost.:1",
                             "[::1]:8470", "127.1.2.3", ""}) {
        EXPECT_TRUE(hostAllowed(host, "127.0.0.1")) << host;
        EXPECT_TRUE(hostAllowed(host, "::1")) << host;
    }
    for (const char* host :
         {"evil.example:8470", "evil.example", "localhost.evil.example",
          "127.0.0.1.nip.example:8470", "[::2]:8470", "[::1", "0.0.0.0:8470", "lab-pc:8470"}) {
        EXPECT_FALSE(hostAllowed(host, "127.0.0.1")) << host;
        EXPECT_FALSE(hostAllowed(host, "localhost")) << host;
    }
    for (const char* listen : {"0.0.0.0", "::", "192.168.1.5"}) {
        EXPECT_TRUE(hostAllowed("lab-pc.example:8470", listen)) << listen;
    }
}

TEST(EventHub, StreamThatKeepsUpGetsEveryEventInOrder) {
    EventHub hub(4, 8);
    const auto stream = hub.subscribe();
    ASSERT_NE(stream, nullptr);
    std::string text;
    ASSERT_TRUE(stream->next(&text, milliseconds(0)));
    EXPECT_EQ(text, "") << "nothing published yet";
    std::string expected;
    for (int k = 1; k <= 20; ++k) {
        const std::string data = "{\"file\":" + std::to_string(k) + "}";
        hub.publish(LiveEvent::File, data);
        expected += frame("file", data);
        ASSERT_TRUE(stream->next(&text, milliseconds(1000)));
    }
    EXPECT_EQ(text, expected);
    EXPECT_EQ(stream->resynchronisations(), 0u);
}

// A browser that stops reading must not make the hub keep its backlog (memory without bound)
// nor make it wait: it is handed the latest state of each kind once it reads again.
TEST(EventHub, StreamThatFallsBehindGetsTheLatestStateInsteadOfTheBacklog) {
    EventHub hub(4, 8);
    const auto slow = hub.subscribe();
    const auto fast = hub.subscribe();
    std::string ignored;
    slow->next(&ignored, milliseconds(0));
    fast->next(&ignored, milliseconds(0));
    hub.publish(LiveEvent::Error, "{\"message\":\"late\"}");
    std::string fastText;
    for (int k = 1; k <= 1000; ++k) {
        hub.publish(LiveEvent::Progress, "{\"scan\":" + std::to_string(k) + "}");
        if (k % 100 == 0) {
            hub.publish(LiveEvent::File, "{\"file\":" + std::to_string(k / 100) + "}");
            fast->next(&fastText, milliseconds(0));
        }
    }
    std::string slowText;
    ASSERT_TRUE(slow->next(&slowText, milliseconds(0)));
    EXPECT_EQ(slowText, frame("file", "{\"file\":10}") + frame("progress", "{\"scan\":1000}") +
                            frame("error", "{\"message\":\"late\"}"));
    EXPECT_GE(slow->resynchronisations(), 1u);
    // The other stream was not held back by the slow one.
    EXPECT_NE(fastText.find(frame("file", "{\"file\":10}")), std::string::npos);
}

TEST(EventHub, NewStreamStartsFromTheLatestStateAndStateJsonAgrees) {
    EventHub hub(4, 8);
    EXPECT_EQ(nlohmann::json::parse(hub.stateJson())["file"], nullptr);
    hub.publish(LiveEvent::File, "{\"file\":1}");
    hub.publish(LiveEvent::File, "{\"file\":2}");
    hub.publish(LiveEvent::Progress, "{\"scan\":3}");
    const auto stream = hub.subscribe();
    std::string text;
    ASSERT_TRUE(stream->next(&text, milliseconds(0)));
    EXPECT_EQ(text, frame("file", "{\"file\":2}") + frame("progress", "{\"scan\":3}"));
    const nlohmann::json state = nlohmann::json::parse(hub.stateJson());
    EXPECT_EQ(state["file"]["file"], 2);
    EXPECT_EQ(state["progress"]["scan"], 3);
    EXPECT_EQ(state["end"], nullptr);
    EXPECT_EQ(state["streams"], 1);
    EXPECT_EQ(state["event_bytes"], text.size());
}

TEST(EventHub, StreamsAreLimitedAndAClosedHubEndsThemAfterWhatIsQueued) {
    EventHub hub(2, 8);
    auto first = hub.subscribe();
    const auto second = hub.subscribe();
    EXPECT_EQ(hub.subscribe(), nullptr) << "a third stream is refused";
    first.reset();
    EXPECT_EQ(hub.streamCount(), 1u) << "a stream that goes gives its place back";
    std::string text;
    second->next(&text, milliseconds(0));
    hub.publish(LiveEvent::End, "{\"status\":\"complete\"}");
    hub.close();
    EXPECT_FALSE(hub.waitForStreamsToEnd(milliseconds(10))) << "the end is not taken yet";
    text.clear();
    EXPECT_TRUE(second->next(&text, milliseconds(0)));
    EXPECT_EQ(text, frame("end", "{\"status\":\"complete\"}"));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(second->next(&text, milliseconds(5000)));
    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(1000))
        << "a closed hub does not make a stream wait";
    EXPECT_TRUE(hub.waitForStreamsToEnd(milliseconds(0)));
    EXPECT_EQ(hub.subscribe(), nullptr);
}

// A cosine of known frequency must show as a line at its wavenumber on the file event's axis,
// with the centre burst where it was put.
TEST(FileEvent, SpectrumAxisIsInWavenumbersAndTheCentreBurstIsMeasured) {
    const std::vector<std::string> halves = {"forward", "reverse"};
    const size_t points = 4096;
    std::vector<double> data(points * 2, 100.0);
    data[1000] = 180.0;
    data[1001] = 60.0;
    data[points + 3000] = 150.0;
    const double step = 15798.0 / 4096.0;
    std::vector<std::vector<double>> spectra(2, std::vector<double>(2049, 0.0));
    spectra[0][777] = 9.0;
    spectra[1][1234] = 4.0;
    LiveFile file;
    file.number = 12;
    file.halves = &halves;
    file.data = data.data();
    file.pointsPerHalf = points;
    for (const std::vector<double>& spectrum : spectra) {
        file.spectra.push_back({spectrum.data(), spectrum.size(), 0.0, step});
    }
    FileEventBuilder builder;
    const nlohmann::json event = nlohmann::json::parse(builder.build(file));
    EXPECT_EQ(event["file"], 12);
    EXPECT_EQ(event["spectrum_unit"], "cm-1");
    const nlohmann::json& forward = event["halves"][0];
    EXPECT_EQ(forward["centre_burst"]["height"], 120.0);
    EXPECT_EQ(forward["centre_burst"]["index"], 1000);
    EXPECT_EQ(event["halves"][1]["centre_burst"]["height"], 50.0);
    const nlohmann::json& spectrum = forward["spectrum"];
    EXPECT_LE(spectrum["x"].size(), kMaxCurvePoints);
    const auto& values = spectrum["y"];
    const size_t peak =
        static_cast<size_t>(std::max_element(values.begin(), values.end()) - values.begin());
    EXPECT_NEAR(spectrum["x"][peak].get<double>(), 777 * step, 1e-3);
    EXPECT_EQ(spectrum["count"], 2049);
    // The zoom is centred on the burst and counts samples from it.
    EXPECT_EQ(forward["zoom"]["x"].front(), -static_cast<int>(kZoomHalfWidth));
    EXPECT_EQ(forward["zoom"]["y"][kZoomHalfWidth], 180.0);
}

TEST(FileEvent, EachJudgedHalfCarriesItsGatesForThePage) {
    const std::vector<std::string> halves = {"forward", "reverse"};
    const size_t points = 64;
    std::vector<double> data(points * 2, 1.0);
    LiveFile file;
    file.number = 3;
    file.halves = &halves;
    file.data = data.data();
    file.pointsPerHalf = points;
    LiveQuality failed;
    failed.worst = "fail";
    failed.gates = {{"burst", "fail", "no centre burst"}, {"clipped", "ok", "not clipped"}};
    failed.hint = "run with --calibrate";
    file.quality = {failed, LiveQuality{}};
    FileEventBuilder builder;
    const nlohmann::json event = nlohmann::json::parse(builder.build(file));
    const nlohmann::json& quality = event["halves"][0]["quality"];
    EXPECT_EQ(quality["worst"], "fail");
    EXPECT_EQ(quality["gates"].size(), 2u);
    EXPECT_EQ(quality["gates"][0]["reason"], "no centre burst");
    EXPECT_EQ(quality["hint"], "run with --calibrate");
    // A half that was not judged (it gave no spectrum) says nothing rather than "ok".
    EXPECT_FALSE(event["halves"][1].contains("quality"));
}

TEST(FileEvent, TrendFollowsTheRecentFilesUpToItsLength) {
    const std::vector<std::string> halves = {"forward"};
    std::vector<double> data(64, 0.0);
    std::vector<std::vector<double>> spectra(1, std::vector<double>(33, 1.0));
    LiveFile file;
    file.halves = &halves;
    file.data = data.data();
    file.pointsPerHalf = data.size();
    file.spectra.push_back({spectra[0].data(), spectra[0].size(), 0.0, 1.0});
    FileEventBuilder builder;
    nlohmann::json event;
    for (uint64_t number = 1; number <= kTrendLength + 5; ++number) {
        data[10] = static_cast<double>(number);
        file.number = number;
        event = nlohmann::json::parse(builder.build(file));
    }
    ASSERT_EQ(event["trend"]["file"].size(), kTrendLength);
    EXPECT_EQ(event["trend"]["file"].front(), 6);
    EXPECT_EQ(event["trend"]["file"].back(), kTrendLength + 5);
    EXPECT_EQ(event["trend"]["forward"].back(), static_cast<double>(kTrendLength + 5));
}

}  // namespace
}  // namespace ostrel::acquire::live
