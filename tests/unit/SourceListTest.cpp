// The "Sources" list edits on exact bytes. The old list sits in a buffer of
// exactly its stored size, so AddressSanitizer reports any read past it;
// guard bytes after each block show any write past its capacity.
#include "SourceList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
typedef std::vector<uint8_t> Bytes;
const Bytes kGuard(8, 0xEE);

Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// `text` zero-filled up to `capacity`, then the guard bytes.
Bytes Block(const std::string& text, uint32_t capacity) {
    Bytes block = B(text);
    block.resize(capacity, 0);
    block.insert(block.end(), kGuard.begin(), kGuard.end());
    return block;
}

struct SourcesRow {
    const char* label;
    std::string stored;
    std::string name;
    std::string added;   // empty: the name is listed, nothing to write
    std::string removed; // empty: the name is not listed
};

const std::string kLongName(200, 'N'); // the longest service name

const SourcesRow kRows[] = {
    {"NoBytes", ""s, "Ondrimar", "Ondrimar\0\0"s, ""},
    {"OnlyEntry", "Ondrimar\0\0"s, "Ondrimar", "", "\0"s},
    {"NoFinalEmptyEntry", "Alpha\0"s, "Ondrimar", "Alpha\0Ondrimar\0"s, ""},
    {"LastEntryUnterminated", "Alpha\0Beta"s, "Ondrimar", "Alpha\0Beta\0Ondrimar\0\0"s, ""},
    {"UnterminatedMatch", "Alpha\0Ondrimar"s, "Ondrimar", "", "Alpha\0\0"s},
    {"ListedTwice", "Ondrimar\0A\0Ondrimar\0\0"s, "Ondrimar", "", "A\0\0"s},
    {"EmptyEntryEndsTheList", "A\0\0Ondrimar\0\0"s, "Ondrimar", "A\0Ondrimar\0\0"s, ""},
    {"PrefixIsNoMatch", "Ondrimar2\0Ondri\0\0"s, "Ondrimar", "Ondrimar2\0Ondri\0Ondrimar\0\0"s, ""},
    {"CaseCounts", "ONDRIMAR\0\0"s, "Ondrimar", "ONDRIMAR\0Ondrimar\0\0"s, ""},
    {"LongNameAdded", "A\0\0"s, kLongName, "A\0"s + kLongName + "\0\0"s, ""},
    {"LongNameRemoved", "A\0"s + kLongName + "\0\0"s, kLongName, "", "A\0\0"s},
};

TEST(SourceList, AddAndRemoveOnExactBytes) {
    for (const SourcesRow& row : kRows) {
        SCOPED_TRACE(row.label);
        uint32_t stored = static_cast<uint32_t>(row.stored.size());
        const char* name = row.name.c_str();

        uint32_t capacity = AddSourceCapacity(stored, static_cast<uint32_t>(row.name.size()));
        Bytes block = Block(row.stored, capacity);
        uint32_t size = AddSourceToList(block.data(), capacity, stored, name);
        EXPECT_EQ(B(row.added), Bytes(block.begin(), block.begin() + size));
        EXPECT_EQ(kGuard, Bytes(block.end() - kGuard.size(), block.end()));

        // Blocks one byte short are refused.
        Bytes tight = Block(row.stored, capacity - 1);
        EXPECT_EQ(0u, AddSourceToList(tight.data(), capacity - 1, stored, name));
        EXPECT_EQ(Block(row.stored, capacity - 1), tight);

        Bytes oldList = B(row.stored);
        uint32_t room = RemoveSourceCapacity(stored);
        Bytes newList = Block("", room);
        bool found = true;
        EXPECT_EQ(0u, RemoveSourceFromList(oldList.data(), stored, newList.data(), room - 1, name,
                                           &found));
        EXPECT_FALSE(found);
        found = row.removed.empty(); // the opposite, so it must be set
        size = RemoveSourceFromList(oldList.data(), stored, newList.data(), room, name, &found);
        EXPECT_EQ(!row.removed.empty(), found);
        if (found) {
            EXPECT_EQ(B(row.removed), Bytes(newList.begin(), newList.begin() + size));
        }
        EXPECT_EQ(kGuard, Bytes(newList.end() - kGuard.size(), newList.end()));
    }
}

} // namespace
