// Feeds arbitrary text to the JCAMP-DX reader that background uploads reach from the network. A
// file it accepts must hold exactly NPOINTS finite-or-not ordinates and a finite axis; anything
// else must be refused with a reason. Undefined behaviour (a huge count converted to size_t) is
// caught by UBSan.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "outputs/jcamp_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ostrel::session::JcampData parsed;
    std::string error;
    if (ostrel::session::parseJcamp(text, &parsed, &error)) {
        const double points = std::strtod(parsed.label("NPOINTS").c_str(), nullptr);
        if (parsed.y.empty() || static_cast<double>(parsed.y.size()) != points) {
            std::abort();
        }
    } else if (error.empty()) {
        std::abort();
    }
    return 0;
}
