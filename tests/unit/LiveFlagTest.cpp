// The liveness flag comparison. The text sits in a buffer of exactly its
// bytes, so AddressSanitizer reports any read past them.
#include "LiveFlag.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct FlagRow {
    const char* label;
    std::string bytes;
    size_t size;
    bool alive;
};

const FlagRow kRows[] = {
    {"OneAndNul", "1\0"s, 2, true},
    {"TrailingBytesIgnored", "1\0x"s, 3, true},
    {"ReadsOnlyTwoBytes", "1\0"s, 64, true},
    {"OneByteOnly", "1"s, 1, false},
    {"SizeCutsTheNul", "1\0"s, 1, false},
    {"OneNewline", "1\n"s, 2, false},
    {"OneSpace", "1 "s, 2, false},
    {"Zero", "0\0"s, 2, false},
    {"Empty", "\0\0"s, 2, false},
    {"ControlBelowOne", "\x11\0"s, 2, false},
};

TEST(FlagSaysAlive, OnlyOneAndItsNul) {
    for (const FlagRow& row : kRows) {
        SCOPED_TRACE(row.label);
        std::vector<char> text(row.bytes.begin(), row.bytes.end());
        EXPECT_EQ(row.alive, FlagSaysAlive(text.data(), row.size));
    }
}

} // namespace
