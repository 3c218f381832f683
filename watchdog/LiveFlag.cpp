#include "LiveFlag.h"

#include <ctype.h>

#include "LiveCheckNames.h"

namespace {

const char kAliveText[] = LIVECHECK_ALIVE_TEXT;

} // namespace

bool FlagSaysAlive(const char* text, size_t size) {
    // Both texts are NUL-terminated, so comparing through the NUL of "1"
    // compares the whole text; the walk stops at the first difference.
    for (size_t i = 0; i < sizeof kAliveText; ++i) {
        if (i >= size)
            return false;
        unsigned char actual = static_cast<unsigned char>(text[i]);
        unsigned char expected = static_cast<unsigned char>(kAliveText[i]);
        if (tolower(actual) != tolower(expected))
            return false;
    }
    return true;
}
