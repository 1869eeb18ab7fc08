// The tool's data files against files kept from an earlier build: a fixed run against a
// noise-free simulator (in this process, on loopback) must give CSV, JSON and JCAMP-DX files whose
// every number reads back as the same double, and whose every label, header line and column name
// is the same, as those in data/. Only the acquisition's time stamps may differ.
//
// The runs: "background" writes every format of one file of 1024 points, both directions;
// "sample" is the same instrument with an absorption line in front of the source, divided by the
// background's mean single beam, so its transmittance and absorbance files hold real ratios.
//
// After a deliberate change of the files, OSTREL_GOLDEN_UPDATE=1 rewrites data/ instead of
// comparing (the test then skips); review the difference before committing it.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel_sim/simulator.h"
#include "outputs/jcamp_reader.h"
#include "tool_harness.h"

namespace ostrel::acquire::testing {

using namespace ostrel::session;
namespace {

using OrderedJson = nlohmann::ordered_json;

const std::string kGoldenDirectory = OSTREL_GOLDEN_DATA;

// The header values that change from run to run; their keys and places are still compared.
const std::set<std::string> kMaskedCsvKeys = {"timestamp", "timestamp_ms"};
const std::set<std::string> kMaskedJsonKeys = {"timestamp", "timestamp_ms"};
const std::set<std::string> kMaskedJcampLabels = {"$TIMESTAMP"};

bool isDataFile(const std::string& name) {
    auto endsWith = [&](const std::string& tail) {
        return name.size() > tail.size() &&
               name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    return name != "summary.json" && (endsWith(".csv") || endsWith(".json") || endsWith(".jdx"));
}

std::vector<std::string> dataFiles(const std::string& directory) {
    std::vector<std::string> names;
    for (const std::string& name : directoryEntries(directory)) {
        if (isDataFile(name)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

// The same double: equal bits up to NaN's payload (0 and -0 differ).
bool sameDouble(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b);
    }
    return a == b && std::signbit(a) == std::signbit(b);
}

bool parseWholeNumber(const std::string& text, double* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t comma = line.find(','); comma != std::string::npos; comma = line.find(',', start)) {
        result.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    result.push_back(line.substr(start));
    return result;
}

// Header lines ("# ...") must match except the values of masked keys; the column line must match;
// every field of every row must read back as the same double.
void compareCsv(const std::string& name, const std::string& expected, const std::string& actual) {
    const std::vector<std::string> want = lines(expected);
    const std::vector<std::string> got = lines(actual);
    ASSERT_EQ(got.size(), want.size()) << name << ": number of lines";
    size_t line = 0;
    for (; line < want.size() && want[line].rfind("#", 0) == 0; ++line) {
        const size_t colon = want[line].find(": ");
        const std::string key = colon == std::string::npos ? "" : want[line].substr(2, colon - 2);
        if (kMaskedCsvKeys.count(key) != 0) {
            EXPECT_EQ(got[line].substr(0, colon + 2), want[line].substr(0, colon + 2))
                << name << " line " << line + 1;
        } else {
            EXPECT_EQ(got[line], want[line]) << name << " line " << line + 1;
        }
    }
    ASSERT_LT(line, want.size()) << name << ": no column line";
    EXPECT_EQ(got[line], want[line]) << name << ": column names";
    size_t mismatches = 0;
    for (++line; line < want.size() && mismatches < 5; ++line) {
        const std::vector<std::string> wantFields = fields(want[line]);
        const std::vector<std::string> gotFields = fields(got[line]);
        ASSERT_EQ(gotFields.size(), wantFields.size()) << name << " line " << line + 1;
        for (size_t column = 0; column < wantFields.size(); ++column) {
            double wantValue = 0.0;
            double gotValue = 0.0;
            ASSERT_TRUE(parseWholeNumber(wantFields[column], &wantValue))
                << name << " (golden) line " << line + 1 << ": " << wantFields[column];
            ASSERT_TRUE(parseWholeNumber(gotFields[column], &gotValue))
                << name << " line " << line + 1 << ": " << gotFields[column];
            if (!sameDouble(gotValue, wantValue)) {
                ++mismatches;
                ADD_FAILURE() << name << " line " << line + 1 << " column " << column + 1 << ": "
                              << gotFields[column] << " instead of " << wantFields[column];
            }
        }
    }
}

void compareJsonValues(const std::string& where, const OrderedJson& want, const OrderedJson& got,
                       size_t* mismatches) {
    if (*mismatches >= 5) {
        return;
    }
    auto mismatch = [&](const std::string& what) {
        ++*mismatches;
        ADD_FAILURE() << where << ": " << what;
    };
    if (want.is_number()) {
        if (!got.is_number()) {
            return mismatch("a number became " + got.dump());
        }
        if (!sameDouble(got.get<double>(), want.get<double>())) {
            mismatch(got.dump() + " instead of " + want.dump());
        }
    } else if (want.is_object()) {
        if (!got.is_object()) {
            return mismatch("an object became " + std::string(got.type_name()));
        }
        std::vector<std::string> wantKeys;
        std::vector<std::string> gotKeys;
        for (const auto& [key, value] : want.items()) {
            wantKeys.push_back(key);
        }
        for (const auto& [key, value] : got.items()) {
            gotKeys.push_back(key);
        }
        if (gotKeys != wantKeys) {
            return mismatch("the members or their order changed");
        }
        for (const std::string& key : wantKeys) {
            if (kMaskedJsonKeys.count(key) != 0) {
                if (got.at(key).type() != want.at(key).type()) {
                    mismatch(key + " changed its type");
                }
                continue;
            }
            compareJsonValues(where + "." + key, want.at(key), got.at(key), mismatches);
        }
    } else if (want.is_array()) {
        if (!got.is_array() || got.size() != want.size()) {
            return mismatch("an array of " + std::to_string(want.size()) + " became " +
                            got.dump().substr(0, 40));
        }
        for (size_t index = 0; index < want.size(); ++index) {
            compareJsonValues(where + "[" + std::to_string(index) + "]", want[index], got[index],
                              mismatches);
        }
    } else if (got != want) {
        mismatch(got.dump() + " instead of " + want.dump());
    }
}

void compareJson(const std::string& name, const std::string& expected, const std::string& actual) {
    OrderedJson want;
    OrderedJson got;
    ASSERT_NO_THROW(want = OrderedJson::parse(expected)) << name << " (golden)";
    ASSERT_NO_THROW(got = OrderedJson::parse(actual)) << name;
    size_t mismatches = 0;
    compareJsonValues(name, want, got, &mismatches);
}

// The label lines in order (masked ones by name only), and the decoded abscissae and ordinates.
void compareJcamp(const std::string& name, const std::string& expected, const std::string& actual) {
    auto labelLines = [](const std::string& text) {
        std::vector<std::string> result;
        for (const std::string& line : lines(text)) {
            if (line.rfind("##", 0) != 0) {
                continue;
            }
            const std::string label = line.substr(2, line.find('=') - 2);
            result.push_back(kMaskedJcampLabels.count(label) != 0 ? "##" + label + "=" : line);
        }
        return result;
    };
    EXPECT_EQ(labelLines(actual), labelLines(expected)) << name;
    JcampData want;
    JcampData got;
    std::string error;
    ASSERT_TRUE(parseJcamp(expected, &want, &error)) << name << " (golden): " << error;
    ASSERT_TRUE(parseJcamp(actual, &got, &error)) << name << ": " << error;
    EXPECT_TRUE(sameDouble(got.firstX, want.firstX)) << name;
    EXPECT_TRUE(sameDouble(got.deltaX, want.deltaX)) << name;
    ASSERT_EQ(got.y.size(), want.y.size()) << name;
    size_t mismatches = 0;
    for (size_t index = 0; index < want.y.size() && mismatches < 5; ++index) {
        if (!sameDouble(got.y[index], want.y[index])) {
            ++mismatches;
            ADD_FAILURE() << name << " point " << index << ": " << got.y[index] << " instead of "
                          << want.y[index];
        }
    }
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << text;
    ASSERT_TRUE(stream.good()) << "cannot write " << path;
}

// A noise-free simulator: noise would make the files depend on nothing but the seed too, but
// without it they are the instrument's model alone.
std::unique_ptr<ostrel::sim::Simulator> startQuietSimulator(
    std::vector<ostrel::sim::Absorber> absorbers) {
    ostrel::sim::Config config;
    config.noise = 0.0;
    config.scanMsAt16k = 100.0;
    config.readyDelayMs = 5.0;
    config.absorbers = std::move(absorbers);
    auto simulator = std::make_unique<ostrel::sim::Simulator>(config);
    std::string error;
    if (!simulator->start(&error)) {
        ADD_FAILURE() << "the simulator did not start: " << error;
        return nullptr;
    }
    return simulator;
}

std::map<std::string, std::string> pointedAt(const ostrel::sim::Simulator& simulator) {
    return {{"OSTRELTCP_COMMAND_PORT", std::to_string(simulator.commandPort())},
            {"OSTRELTCP_DATA_PORT", std::to_string(simulator.dataPort())},
            {"OSTRELTCP_REBOOT_PORT", std::to_string(simulator.rebootPort())}};
}

// One file: the tool takes two identical noise-free files for one file fetched twice, so a second
// one would be counted as missed rather than saved.
const std::vector<std::string> kRun = {"--address",   "127.0.0.1", "--points",  "1024",    "--skip",
                                       "7680",        "--scans",   "2",         "--files", "1",
                                       "--direction", "3",         "--no-plot", "--quiet"};

void runFixed(const std::string& scratch, const std::string& out,
              const std::vector<ostrel::sim::Absorber>& absorbers,
              const std::vector<std::string>& more) {
    const auto simulator = startQuietSimulator(absorbers);
    ASSERT_NE(simulator, nullptr);
    std::vector<std::string> arguments = kRun;
    arguments.insert(arguments.end(), more.begin(), more.end());
    arguments.insert(arguments.end(), {"--out", out});
    const ProcessResult result = runTool(arguments, pointedAt(*simulator), scratch);
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
}

void compareDirectory(const std::string& run, const std::string& out) {
    const std::string golden = kGoldenDirectory + "/" + run;
    const std::vector<std::string> names = dataFiles(golden);
    ASSERT_FALSE(names.empty()) << "no golden files in " << golden;
    EXPECT_EQ(dataFiles(out), names) << run << ": the files written";
    for (const std::string& name : names) {
        const std::string expected = readFile(golden + "/" + name);
        const std::string actual = readFile(out + "/" + name);
        SCOPED_TRACE(run + "/" + name);
        if (name.size() > 4 && name.substr(name.size() - 4) == ".csv") {
            compareCsv(name, expected, actual);
        } else if (name.size() > 5 && name.substr(name.size() - 5) == ".json") {
            compareJson(name, expected, actual);
        } else {
            compareJcamp(name, expected, actual);
        }
    }
}

void updateDirectory(const std::string& run, const std::string& out) {
    const std::string golden = kGoldenDirectory + "/" + run;
    for (const std::string& name : dataFiles(golden)) {
        std::remove((golden + "/" + name).c_str());
    }
    for (const std::string& name : dataFiles(out)) {
        writeFile(golden + "/" + name, readFile(out + "/" + name));
    }
}

TEST(GoldenOutput, EveryNumberLabelAndHeaderLineIsAsKept) {
    ScratchDirectory scratch;
    const std::string background = scratch.path() + "/background";
    const std::string sample = scratch.path() + "/sample";
    ASSERT_NO_FATAL_FAILURE(
        runFixed(scratch.path(), background, {}, {"--format", "csv,json,jcamp"}));
    ASSERT_NO_FATAL_FAILURE(runFixed(scratch.path(), sample, {{2150.0, 25.0, 0.8}},
                                     {"--format", "jcamp", "--background", background}));
    const char* update = std::getenv("OSTREL_GOLDEN_UPDATE");
    if (update != nullptr && std::string(update) == "1") {
        updateDirectory("background", background);
        updateDirectory("sample", sample);
        GTEST_SKIP() << "rewrote the files in " << kGoldenDirectory;
    }
    compareDirectory("background", background);
    compareDirectory("sample", sample);
}

// The comparison itself: one number moved to the next double, a renamed header key or a changed
// label is noticed; a different time stamp is not.
TEST(GoldenOutput, ComparisonNoticesTheSmallestChangeButNotTheTimeStamps) {
    const std::string csv =
        "# ostrel-acquire spectrum\n# file: 1\n# timestamp: 2026-01-01T00:00:00.000Z\n"
        "wavenumber,forward\n0,1.5\n7.7138671875,0.1\n";
    std::string laterCsv = csv;
    laterCsv.replace(laterCsv.find("2026-01-01"), 10, "2027-02-02");
    compareCsv("stamps.csv", csv, laterCsv);
    char next[40];
    std::snprintf(next, sizeof next, "%.17g", std::nextafter(0.1, 1.0));
    std::string movedCsv = csv;
    movedCsv.replace(movedCsv.rfind("0.1"), 3, next);
    EXPECT_NONFATAL_FAILURE(compareCsv("moved.csv", csv, movedCsv), "instead of 0.1");
    std::string renamedCsv = csv;
    renamedCsv.replace(renamedCsv.find("# file"), 6, "# fila");
    EXPECT_NONFATAL_FAILURE(compareCsv("renamed.csv", csv, renamedCsv), "line 2");

    const std::string json =
        R"({"kind": "k", "timestamp": "a", "rows": 2, "forward": [1.5, 0.1, null]})";
    compareJson("stamps.json", json,
                R"({"kind": "k", "timestamp": "b", "rows": 2, "forward": [1.5, 0.1, null]})");
    EXPECT_NONFATAL_FAILURE(
        compareJson("moved.json", json,
                    std::string(R"({"kind": "k", "timestamp": "a", "rows": 2, "forward": [1.5, )") +
                        next + ", null]}"),
        "instead of 0.1");
    EXPECT_NONFATAL_FAILURE(
        compareJson("order.json", json,
                    R"({"timestamp": "a", "kind": "k", "rows": 2, "forward": [1.5, 0.1, null]})"),
        "order");

    const std::string jcamp =
        "##TITLE=t\n##JCAMP-DX=4.24\n##$TIMESTAMP=a\n##XUNITS=1/CM\n##YUNITS=ABSORBANCE\n"
        "##FIRSTX=1\n##LASTX=3\n##DELTAX=1\n##XFACTOR=1\n##YFACTOR=0.5\n##NPOINTS=3\n"
        "##XYDATA=(X++(Y..Y))\n1 2 4 6\n##END=\n";
    std::string laterJcamp = jcamp;
    laterJcamp.replace(laterJcamp.find("STAMP=a"), 7, "STAMP=b");
    compareJcamp("stamps.jdx", jcamp, laterJcamp);
    std::string movedJcamp = jcamp;
    movedJcamp.replace(movedJcamp.find("1 2 4 6"), 7, "1 2 4 7");
    EXPECT_NONFATAL_FAILURE(compareJcamp("moved.jdx", jcamp, movedJcamp), "point 2");
    std::string relabelledJcamp = jcamp;
    relabelledJcamp.replace(relabelledJcamp.find("##TITLE=t"), 9, "##TITLE=u");
    EXPECT_NONFATAL_FAILURE(compareJcamp("title.jdx", jcamp, relabelledJcamp), "TITLE=t");
}

}  // namespace
}  // namespace ostrel::acquire::testing
