// Table-driven test cases: each row has a name field, which names the case and prints the row.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace ostrel::testing {

struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
        return row.param.name;
    }
};

template <typename Row>
requires requires(const Row& row) {
    row.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

}  // namespace ostrel::testing
