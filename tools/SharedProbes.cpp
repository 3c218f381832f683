// Probes the benchmark shares with the tests: a process's handle count, and
// an idle process for the benchmark's floor.
#include <cstdio>
#include <vector>

#include "helper.h"

namespace {

// One entry of the table of information class 16. Windows starts an entry
// with a 16-bit process id and a 16-bit back-trace index, Wine with a
// 32-bit process id; both read the same while ids stay below 65536.
struct CHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

struct CHandleTable {
    ULONG count;
    CHandleEntry entries[1];
};

} // namespace

// GetProcessHandleCount says 0 under Wine: count the process's entries in
// the system's handle table instead.
int PrintHandleCount(DWORD pid) {
    typedef LONG(WINAPI * QueryFunction)(ULONG, PVOID, ULONG, PULONG);
    QueryFunction query = reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return Fail("GetProcAddress");
    std::vector<BYTE> buffer(1 << 16);
    LONG status;
    while ((status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr)) ==
           static_cast<LONG>(0xC0000004u))
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return Fail("NtQuerySystemInformation");
    const CHandleTable* table = reinterpret_cast<const CHandleTable*>(buffer.data());
    unsigned count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        count += table->entries[i].ownerPid == pid ? 1 : 0;
    std::printf("%u\n", count);
    return 0;
}

int Idle() {
    std::printf("waiting\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
