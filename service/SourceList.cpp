#include "SourceList.h"

#include <string.h>

namespace {

// Length of the entry at `offset`, bounded by the list's end: an entry
// without a NUL before `stored` ends there.
uint32_t EntryLength(const uint8_t* list, uint32_t stored, uint32_t offset) {
    const void* nul = memchr(list + offset, 0, stored - offset);
    if (nul == nullptr)
        return stored - offset;
    return static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - (list + offset));
}

bool Matches(const uint8_t* entry, uint32_t length, const char* name, uint32_t nameLength) {
    return length == nameLength && memcmp(entry, name, length) == 0;
}

} // namespace

uint32_t AddSourceCapacity(uint32_t stored, uint32_t nameLength) {
    return stored + nameLength + 3;
}

uint32_t AddSourceToList(uint8_t* block, uint32_t capacity, uint32_t stored, const char* name) {
    uint32_t nameLength = static_cast<uint32_t>(strlen(name));
    if (capacity < AddSourceCapacity(stored, nameLength))
        return 0;
    uint32_t insert = 0;
    bool unterminated = false;
    while (insert < stored && block[insert] != 0) {
        uint32_t length = EntryLength(block, stored, insert);
        if (Matches(block + insert, length, name, nameLength))
            return 0;
        insert += length + 1;
        // An entry cut off by the stored size gets its NUL from the zero fill
        // at `stored`; the name goes after it.
        unterminated = insert > stored;
    }
    memcpy(block + insert, name, nameLength + 1);
    uint32_t end = insert + nameLength + 1;
    // The final empty entry where the list had one (or had no bytes at all)
    // and after an entry that lacked its NUL. It is written, not left to the
    // fill: an empty entry inside the stored bytes ends the list, and what
    // followed it is not part of the list and must not come back as entries.
    if (insert < stored || unterminated || stored == 0) {
        block[end] = 0;
        end += 1;
    }
    return end;
}

uint32_t RemoveSourceCapacity(uint32_t stored) {
    return stored + 2;
}

uint32_t RemoveSourceFromList(const uint8_t* oldList, uint32_t stored, uint8_t* newList,
                              uint32_t capacity, const char* name, bool* found) {
    *found = false;
    if (capacity < RemoveSourceCapacity(stored))
        return 0;
    uint32_t nameLength = static_cast<uint32_t>(strlen(name));
    uint32_t read = 0;
    uint32_t written = 0;
    while (read < stored && oldList[read] != 0) {
        uint32_t length = EntryLength(oldList, stored, read);
        if (Matches(oldList + read, length, name, nameLength)) {
            *found = true;
        } else {
            memcpy(newList + written, oldList + read, length);
            newList[written + length] = 0;
            written += length + 1;
        }
        read += length + 1;
    }
    newList[written] = 0;
    return written + 1;
}
