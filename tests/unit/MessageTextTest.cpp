// Trimming a system message. The message sits in a buffer of exactly its
// length (no NUL) and the target in one of exactly `size` bytes, so
// AddressSanitizer reports any access past either.
#include "MessageText.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct TrimRow {
    const char* label;
    const char* message; // null: no message
    uint32_t length;
    uint32_t size;
    const char* expected; // null: the buffer stays untouched
};

const char kDenied[] = "Access is denied.\r\n"; // 19 characters

const TrimRow kRows[] = {
    {"CrLfDroppedAtLengthPlus14", kDenied, 19, 33, "Access is denied."},
    {"LengthPlus13Refused", kDenied, 19, 32, ""},
    {"OneCharacter", "X", 1, 15, ""},
    {"SizeBelow14", "abcdef\r\n", 8, 10, ""},
    {"LengthZero", kDenied, 0, 64, ""},
    {"NoMessage", nullptr, 19, 64, ""},
    {"SizeZeroUntouched", kDenied, 19, 0, nullptr},
};

TEST(TrimSystemMessage, KeepsAllButTheLastTwoWhenThereIsRoom) {
    for (const TrimRow& row : kRows) {
        SCOPED_TRACE(row.label);
        std::vector<char> message(row.message, row.message + (row.message ? row.length : 0));
        // Size 0 gets one byte to look at, which must stay as it was.
        std::vector<char> buffer(row.size != 0 ? row.size : 1, '#');

        char* result = TrimSystemMessage(buffer.data(), row.size,
                                         row.message ? message.data() : nullptr, row.length);
        EXPECT_EQ(buffer.data(), result);
        if (row.expected != nullptr) {
            EXPECT_STREQ(row.expected, buffer.data());
        } else {
            EXPECT_EQ('#', buffer[0]);
        }
    }
}

} // namespace
