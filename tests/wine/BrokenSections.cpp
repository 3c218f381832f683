// The stand-in's sections that no publisher writes (1 byte, 1 MiB, a page of
// garbage), which the liveness scenarios give the watchdog to read. Linked
// into helper.exe; see probes.h for the contracts.
#include <cstring>
#include <utility>

#include "LiveCheckNames.h"
#include "probes.h"

bool CBrokenSection::Create(DWORD size, const char* text) {
    Release();
    for (int tries = 0; tries < 1000; ++tries) {
        SetLastError(NO_ERROR);
        CHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                           LIVECHECK_SECTION_NAME));
        if (!mapping)
            return false;
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            mapping.reset();
            Sleep(1);
            continue;
        }
        CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (!view)
            return false;
        m_mapping = std::move(mapping);
        m_view = std::move(view);
        m_size = size;
        return Write(text);
    }
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
}

bool CBrokenSection::Write(const char* text) {
    if (!m_view) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    size_t length = std::strlen(text) + 1;
    std::memcpy(m_view.get(), text, length < m_size ? length : m_size);
    return true;
}

void CBrokenSection::Release() {
    m_view.reset();
    m_mapping.reset();
    m_size = 0;
}

void FillGarbage(void* view) {
    MEMORY_BASIC_INFORMATION region = {};
    if (VirtualQuery(view, &region, sizeof region) != sizeof region)
        return;
    BYTE* bytes = static_cast<BYTE*>(view);
    SIZE_T size = region.RegionSize - (bytes - static_cast<BYTE*>(region.BaseAddress));
    bytes[0] = '1';
    for (SIZE_T i = 1; i < size; ++i)
        bytes[i] = static_cast<BYTE>(1 + (i * 7919) % 255);
}
