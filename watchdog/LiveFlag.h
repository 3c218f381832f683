// The liveness flag's comparison, kept apart from reading the section.
#pragma once

#include <stddef.h>

// True when the first `size` bytes of `text` start with the alive text
// ("1", LIVECHECK_ALIVE_TEXT) and its terminating NUL, compared without
// regard to letter case. Reads at most two bytes, and never more than
// `size`.
bool FlagSaysAlive(const char* text, size_t size);
