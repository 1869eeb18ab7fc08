// The texts of the error export: driver codes, the socket layer's named codes and platform error
// numbers. It lives above the socket layer because the named codes' texts are that layer's.
#pragma once

#include <cstdint>

namespace ostrel {

// Writes the text of a code (0: the last recorded one) into text, at most size - 1 characters,
// always terminated when size > 0 and text is not null.
void errorText(int32_t code, char* text, int32_t size);

}  // namespace ostrel
