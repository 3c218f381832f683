#include "SourceList.h"

#include <string.h>

namespace {

// Length of the entry at `offset`, bounded by the list's end: an entry
// without a NUL before `stored` ends there.
DWORD EntryLength(const BYTE* list, DWORD stored, DWORD offset) {
    const void* nul = memchr(list + offset, 0, stored - offset);
    if (nul == NULL)
        return stored - offset;
    return static_cast<DWORD>(static_cast<const BYTE*>(nul) - (list + offset));
}

bool Matches(const BYTE* entry, DWORD length, LPCSTR name, DWORD nameLength) {
    return length == nameLength && memcmp(entry, name, length) == 0;
}

} // namespace

DWORD AddSourceCapacity(DWORD stored, DWORD nameLength) {
    return stored + nameLength + 3;
}

DWORD AddSourceToList(BYTE* block, DWORD capacity, DWORD stored, LPCSTR name) {
    DWORD nameLength = static_cast<DWORD>(strlen(name));
    if (capacity < AddSourceCapacity(stored, nameLength))
        return 0;
    DWORD insert = 0;
    bool unterminated = false;
    while (insert < stored && block[insert] != 0) {
        DWORD length = EntryLength(block, stored, insert);
        if (Matches(block + insert, length, name, nameLength))
            return 0;
        insert += length + 1;
        // An entry cut off by the stored size gets its NUL from the zero fill
        // at `stored`; the name goes after it.
        unterminated = insert > stored;
    }
    memcpy(block + insert, name, nameLength + 1);
    DWORD end = insert + nameLength + 1;
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

DWORD RemoveSourceCapacity(DWORD stored) {
    return stored + 2;
}

DWORD RemoveSourceFromList(const BYTE* oldList, DWORD stored, BYTE* newList, DWORD capacity,
                           LPCSTR name, BOOL* found) {
    *found = FALSE;
    if (capacity < RemoveSourceCapacity(stored))
        return 0;
    DWORD nameLength = static_cast<DWORD>(strlen(name));
    DWORD read = 0;
    DWORD written = 0;
    while (read < stored && oldList[read] != 0) {
        DWORD length = EntryLength(oldList, stored, read);
        if (Matches(oldList + read, length, name, nameLength)) {
            *found = TRUE;
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
