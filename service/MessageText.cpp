#include "MessageText.h"

#include <string.h>

char* TrimSystemMessage(char* buffer, uint32_t size, const char* message, uint32_t length) {
    if (length != 0 && message != nullptr && size >= 14 && length <= size - 14) {
        // System messages end with CR LF: drop the last two characters, but
        // never more than the message has.
        uint32_t kept = length - (length < 2 ? length : 2);
        if (kept > size - 1)
            kept = size - 1;
        memcpy(buffer, message, kept);
        buffer[kept] = '\0';
    } else if (size > 0) {
        buffer[0] = '\0';
    }
    return buffer;
}
