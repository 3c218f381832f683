// The "Sources" list edits on exact bytes where the bounds matter: lists not
// terminated within their stored size, an empty entry inside the list, and
// guard bytes past the blocks. Ordinary lists are covered end to end by the
// event-source tests.
#include "SourceList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<BYTE> Bytes;

Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct AddCase {
    const char* label;
    std::string stored;
    const char* name;
    std::string expected; // empty: nothing to write
};

class AddSource : public ::testing::TestWithParam<AddCase> {};

TEST_P(AddSource, WritesTheExpectedBytesAndNothingBeyondTheBlock) {
    const AddCase& c = GetParam();
    DWORD stored = static_cast<DWORD>(c.stored.size());
    DWORD capacity = AddSourceCapacity(stored, static_cast<DWORD>(strlen(c.name)));
    // Guard bytes after the block show any write past its capacity.
    Bytes block(capacity + 8, 0);
    std::fill(block.begin() + capacity, block.end(), 0xEE);
    std::copy(c.stored.begin(), c.stored.end(), block.begin());

    DWORD size = AddSourceToList(block.data(), capacity, stored, c.name);

    EXPECT_EQ(c.expected.size(), size);
    EXPECT_EQ(B(c.expected), Bytes(block.begin(), block.begin() + size));
    EXPECT_EQ(Bytes(8, 0xEE), Bytes(block.begin() + capacity, block.end()));
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Lists, AddSource,
    ::testing::Values(
        AddCase{"NoBytesAtAll", ""s, "Ondrimar", "Ondrimar\0\0"s},
        AddCase{"ListedFirst", "Ondrimar\0Alpha\0\0"s, "Ondrimar", ""},
        AddCase{"PrefixIsNoMatch", "Ondrimar2\0Ondri\0\0"s, "Ondrimar",
                "Ondrimar2\0Ondri\0Ondrimar\0\0"s},
        AddCase{"LastEntryUnterminated", "Alpha\0Beta"s, "Ondrimar", "Alpha\0Beta\0Ondrimar\0\0"s},
        AddCase{"UnterminatedMatch", "Alpha\0Ondrimar"s, "Ondrimar", ""},
        AddCase{"SingleUnterminatedEntry", "A"s, "Ondrimar", "A\0Ondrimar\0\0"s},
        AddCase{"EmptyEntryEndsTheList", "A\0\0LongStaleEntry\0\0"s, "X", "A\0X\0\0"s}),
    [](const ::testing::TestParamInfo<AddCase>& info) { return info.param.label; });

TEST(AddSourceCapacity, ShortBlockIsRefusedUntouched) {
    Bytes block = B("Alpha\0\0\0\0"s);
    EXPECT_EQ(0u, AddSourceToList(block.data(), static_cast<DWORD>(block.size()), 7, "Ondrimar"));
    EXPECT_EQ(B("Alpha\0\0\0\0"s), block);
}

struct RemoveCase {
    const char* label;
    std::string stored;
    bool found;
    std::string expected; // compared only when found
};

class RemoveSource : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(RemoveSource, KeepsTheOtherEntriesInOrder) {
    const RemoveCase& c = GetParam();
    DWORD stored = static_cast<DWORD>(c.stored.size());
    DWORD capacity = RemoveSourceCapacity(stored);
    Bytes oldList(c.stored.begin(), c.stored.end());
    Bytes newList(capacity + 8, 0);
    std::fill(newList.begin() + capacity, newList.end(), 0xEE);

    BOOL found = FALSE;
    DWORD size =
        RemoveSourceFromList(oldList.data(), stored, newList.data(), capacity, "Ondrimar", &found);

    EXPECT_EQ(c.found, found != FALSE);
    if (c.found) {
        EXPECT_EQ(B(c.expected), Bytes(newList.begin(), newList.begin() + size));
    }
    EXPECT_EQ(B(c.stored), oldList) << "the old list is only read";
    EXPECT_EQ(Bytes(8, 0xEE), Bytes(newList.begin() + capacity, newList.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RemoveSource,
    ::testing::Values(RemoveCase{"NoBytesAtAll", ""s, false, ""},
                      RemoveCase{"LastEntryUnterminated", "Ondrimar\0Alpha"s, true, "Alpha\0\0"s},
                      RemoveCase{"UnterminatedMatch", "Alpha\0Ondrimar"s, true, "Alpha\0\0"s}),
    [](const ::testing::TestParamInfo<RemoveCase>& info) { return info.param.label; });

} // namespace
