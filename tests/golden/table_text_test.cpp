// A table's JSON file is laid out by hand for speed; it must be byte for byte the text the JSON
// library gives for the same document, including the values JSON cannot hold, an empty table,
// names that collide with each other or with a header member, and an index column whose values
// change between files (its text is kept from one file to the next).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "outputs/output_files.h"

namespace ostrel::session {
namespace {

std::string scratchDirectory() {
    char pattern[] = "/tmp/ostrel-table-text-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made != nullptr ? made : "";
}

std::string written(const Table& table, OutputFormat format) {
    const std::string directory = scratchDirectory();
    std::string error;
    EXPECT_TRUE(writeTable(directory, "table", format, table, &error)) << error;
    std::ifstream stream(directory + "/table");
    std::stringstream text;
    text << stream.rdbuf();
    std::remove((directory + "/table").c_str());
    rmdir(directory.c_str());
    return text.str();
}

// The document as the JSON library lays it out, members in the order given.
std::string libraryText(const Table& table) {
    nlohmann::ordered_json document;
    document["kind"] = table.title;
    for (const HeaderEntry& entry : table.header) {
        std::visit([&](const auto& value) { document[entry.key] = value; }, entry.value);
    }
    document["rows"] = table.rows;
    document["index"] = table.indexName;
    if (table.indexValues != nullptr) {
        document[table.indexName] =
            std::vector<double>(table.indexValues, table.indexValues + table.rows);
    }
    for (const Column& column : table.columns) {
        document[column.name] = std::vector<double>(column.values, column.values + table.rows);
    }
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(TableText, JsonIsTheLibrarysTextForEveryKindOfValueAndName) {
    const std::vector<double> index = {0.0, 0.24107666015625, 1.0e21, -0.0, 5.0e-324};
    const std::vector<double> first = {kNan, kInf, -kInf, 1.0e-7, 123456789.5};
    const std::vector<double> second = {498.5, -13324.0, 1.0e15, 0.1, 1.7976931348623157e308};
    const std::vector<HeaderEntry> header = {{"file", int64_t{-3}},
                                             {"timestamp", std::string("t\xff\"q\\\n")},
                                             {"timestamp_ms", 1796834329337.0},
                                             {"flag", true}};
    struct Case {
        const char* name;
        std::string indexName;
        const double* indexValues;
        std::vector<std::string> columns;
        size_t rows;
    };
    const std::vector<Case> cases = {
        {"index column and two halves", "wavenumber", index.data(), {"forward", "reverse"}, 5},
        {"row numbers only", "index", nullptr, {"forward", "reverse"}, 5},
        {"no rows", "wavenumber", index.data(), {"forward"}, 0},
        {"no columns", "index", nullptr, {}, 5},
        {"a name with quotes and bytes that are not UTF-8", "index", nullptr, {"f\"\xc3("}, 5},
        {"a column named like a header member", "index", nullptr, {"file", "reverse"}, 5},
        {"two columns of one name", "wavenumber", index.data(), {"forward", "forward"}, 5},
        {"the index named like a column", "forward", index.data(), {"forward"}, 5},
    };
    for (const Case& each : cases) {
        Table table{"ostrel-acquire test", header, each.indexName, {}, each.rows, each.indexValues};
        const std::vector<const double*> data = {first.data(), second.data()};
        for (size_t column = 0; column < each.columns.size(); ++column) {
            table.columns.push_back({each.columns[column], data[column % 2]});
        }
        EXPECT_EQ(written(table, OutputFormat::Json), libraryText(table)) << each.name;
    }
}

TEST(TableText, CsvCellsAreTheShortestTextOfEachValue) {
    const std::vector<double> index = {0.0, 0.24107666015625, 1.0e21, -0.0, 5.0e-324};
    const std::vector<double> values = {kNan, -kInf, 100000.0, 12000.0, -0.5};
    Table table{"ostrel-acquire test",
                {{"gain", int64_t{2}}, {"laser", 15798.5}},
                "wavenumber",
                {{"forward", values.data()}},
                5,
                index.data()};
    EXPECT_EQ(written(table, OutputFormat::Csv),
              "# ostrel-acquire test\n# gain: 2\n# laser: 15798.5\nwavenumber,forward\n0,nan\n"
              "0.24107666015625,-inf\n1e+21,1e+05\n-0,12000\n5e-324,-0.5\n");
    // The same array with one value changed in place, as the next file of a run with another
    // axis would hand it over: its text must change with it, in both formats.
    std::vector<double> changed = index;
    table.indexValues = changed.data();
    EXPECT_EQ(written(table, OutputFormat::Json), libraryText(table));
    changed[1] = 0.5;
    EXPECT_NE(written(table, OutputFormat::Csv).find("\n0.5,-inf\n"), std::string::npos);
    EXPECT_EQ(written(table, OutputFormat::Json), libraryText(table));
    table.rows = 4;  // the same values, fewer of them
    EXPECT_EQ(written(table, OutputFormat::Json), libraryText(table));
    EXPECT_EQ(written(table, OutputFormat::Csv).find("5e-324"), std::string::npos);
    table.rows = 5;
    table.indexValues = nullptr;
    table.indexName = "index";
    EXPECT_EQ(written(table, OutputFormat::Csv),
              "# ostrel-acquire test\n# gain: 2\n# laser: 15798.5\nindex,forward\n0,nan\n1,-inf\n"
              "2,1e+05\n3,12000\n4,-0.5\n");
}

}  // namespace
}  // namespace ostrel::session
