// Reading back the JCAMP-DX spectra this tool writes (a background from an earlier run): the
// labels, and the (X++(Y..Y)) table in AFFN or in the compressed forms (SQZ, DIF, DUP, with the
// ordinate check after a difference). Files of other programs that keep to that subset read too;
// anything else is refused with the line that could not be read.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace ostrel::session {

struct JcampData {
    // Every label as written, without "##" and "=": "TITLE", "$LASER WAVENUMBER".
    std::map<std::string, std::string> labels;
    double firstX = 0.0;
    double deltaX = 0.0;
    std::vector<double> y;

    // The label's value, or "" when the file has none.
    std::string label(const std::string& name) const;
};

bool parseJcamp(const std::string& text, JcampData* data, std::string* error);
bool readJcampFile(const std::string& path, JcampData* data, std::string* error);

}  // namespace ostrel::session
