// Reading JCAMP-DX files with a reader nobody here wrote: jcampconverter (npm registry) run by
// Node, installed by scripts/setup.sh.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ostrel::acquire::testing {

// An array with one object per path: "entries" (blocks read), "info" (the standard labels, named
// without spaces and dashes: "DATATYPE"), "meta" (the user labels "##$NAME" as "NAME"), values as
// text, and "x" and "y" (the points). False with *error when Node, the reader or
// a file fails.
bool readJcampFiles(const std::vector<std::string>& paths, nlohmann::json* files,
                    std::string* error);

}  // namespace ostrel::acquire::testing
