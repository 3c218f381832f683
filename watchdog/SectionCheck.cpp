#include "SectionCheck.h"

#include "Handles.h"
#include "LiveCheckNames.h"
#include "LiveFlag.h"

namespace {

const char kSectionName[] = LIVECHECK_SECTION_NAME;
const char kAliveText[] = LIVECHECK_ALIVE_TEXT;

// True when `size` bytes from `address` lie in committed memory that may be
// read. A section created with SEC_RESERVE and never committed maps without
// error, but touching it raises an access violation.
bool Readable(const void* address, SIZE_T size) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(address, &region, sizeof region) != sizeof region)
        return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    SIZE_T offset =
        static_cast<const BYTE*>(address) - static_cast<const BYTE*>(region.BaseAddress);
    return region.State == MEM_COMMIT && (region.Protect & readable) != 0 &&
           (region.Protect & PAGE_GUARD) == 0 && region.RegionSize - offset >= size;
}

// The heartbeat lies within the bytes that Readable vouches for.
static_assert(LIVECHECK_HEARTBEAT_OFFSET + sizeof(DWORD) <= kSectionShown + 1,
              "the heartbeat must lie within the bytes checked as readable");

} // namespace

bool LiveCheck() {
    CSectionSeen seen;
    return CheckSection(seen);
}

bool CheckSection(CSectionSeen& seen, DWORD* beat) {
    seen.size = 0;
    seen.state = SectionUnreadable;
    CHandle mapping(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSectionName));
    if (!mapping) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            seen.state = SectionMissing;
        return false;
    }
    // The whole section from offset 0; a section is at least a page, so its
    // first bytes are always there, but not always committed.
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view || !Readable(view.get(), sizeof seen.bytes))
        return false;
    // Copied out rather than read in place: a page whose backing file cannot
    // be read in makes ReadProcessMemory fail, where a plain read would raise
    // an exception that would end the process. The flag needs two bytes; the
    // rest is read only for the heartbeat, or for the record of a check that
    // failed.
    if (!ReadProcessMemory(GetCurrentProcess(), view.get(), seen.bytes, sizeof kAliveText, NULL))
        return false;
    seen.state = SectionHeld;
    seen.size = sizeof kAliveText;
    if (FlagSaysAlive(seen.bytes, sizeof kAliveText)) {
        if (beat != NULL &&
            !ReadProcessMemory(GetCurrentProcess(),
                               static_cast<const BYTE*>(view.get()) + LIVECHECK_HEARTBEAT_OFFSET,
                               beat, sizeof *beat, NULL))
            *beat = 0;
        return true;
    }
    if (ReadProcessMemory(GetCurrentProcess(), view.get(), seen.bytes, sizeof seen.bytes, NULL))
        seen.size = sizeof seen.bytes;
    return false;
}
