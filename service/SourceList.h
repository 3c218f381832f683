// Editing the Application log's "Sources" list, kept apart from the registry.
//
// The list is a run of NUL-terminated entries ended by one more NUL (an
// empty entry). Both edits work on plain buffers and never read past the
// `stored` bytes that were read from the registry nor write past the
// buffer's `capacity`, also for lists that are not terminated within their
// stored size:
// - a list without its final empty entry ends at the stored size;
// - a last entry without its own NUL also ends at the stored size, as if its
//   NUL stood there.
// An entry matches when it equals the name exactly, letter case included.
#pragma once

#include <stdint.h>

// Bytes the block handed to AddSourceToList must have for a list of
// `stored` bytes and a name of `nameLength` characters: the list, a NUL for
// an unterminated last entry, the name with its NUL, and the final NUL.
uint32_t AddSourceCapacity(uint32_t stored, uint32_t nameLength);

// Appends `name` to the list held in the first `stored` bytes of `block`,
// whose remaining bytes up to `capacity` (at least AddSourceCapacity) are
// zero. Returns the number of bytes to write back, or 0 when the list holds
// the name already and nothing is to be written. A shorter block is refused:
// 0, and nothing is written.
//
// For a well-formed list of n bytes the result is the old list with the name
// as its last entry, n + L + 1 bytes. A list without its final empty entry
// also gives n + L + 1 bytes, ending with the name's own NUL, as it was
// stored. A list whose last entry lacks its NUL gets that NUL, the name and
// the final NUL: n + L + 3 bytes.
uint32_t AddSourceToList(uint8_t* block, uint32_t capacity, uint32_t stored, const char* name);

// Bytes the new-list block of RemoveSourceFromList must have for a list of
// `stored` bytes: the kept entries can need one NUL more than they had, and
// the final NUL.
uint32_t RemoveSourceCapacity(uint32_t stored);

// Copies every entry of the list in the first `stored` bytes of `oldList`
// that does not match `name` to `newList` (zero-filled, `capacity` bytes, at
// least RemoveSourceCapacity), in order, each with its NUL. Sets `found` when
// at least one entry matched. Returns the size of the new list: the kept
// entries and the final NUL, so removing the only entry gives one zero byte.
// A shorter block is refused: 0, `found` cleared, nothing written.
uint32_t RemoveSourceFromList(const uint8_t* oldList, uint32_t stored, uint8_t* newList,
                              uint32_t capacity, const char* name, bool* found);
