// Trimming a system message into a caller's buffer, kept apart from asking
// the system for the message.
#pragma once

#include <stdint.h>

// Copies the `length` characters of `message` without their last two (the
// CR LF system messages end with; a shorter message gives nothing) into
// `buffer` of `size` bytes, with a NUL, never more than `size` - 1
// characters. Done only when `length` is nonzero, `message` is not null and
// `length` + 14 <= `size`; otherwise `buffer` becomes "" when `size` is
// nonzero and stays untouched when it is 0. Reads no more than `length`
// bytes of `message`. Returns `buffer`.
char* TrimSystemMessage(char* buffer, uint32_t size, const char* message, uint32_t length);
