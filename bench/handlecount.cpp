// handlecount: how many handles a process holds, from the system's handle
// table (GetProcessHandleCount always says 0 under Wine).
//
// usage: handlecount PID   prints the count, exit 0; exit 1 on failure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// One entry of the table of information class 16. Windows starts an entry
// with a 16-bit process id and a 16-bit back-trace index; Wine with a 32-bit
// process id. Both read the same as one 32-bit value while ids stay below
// 65536 and the index is 0, which Wine's are.
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

typedef LONG(WINAPI* QuerySystemInformation)(ULONG infoClass, PVOID buffer, ULONG length,
                                             PULONG returned);

const ULONG kSystemHandleInformation = 16;
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004u);

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: handlecount PID\n");
        return 2;
    }
    ULONG pid = static_cast<ULONG>(std::strtoul(argv[1], nullptr, 10));
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    QuerySystemInformation query =
        ntdll == nullptr ? nullptr
                         : reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
                               GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) {
        std::fprintf(stderr, "handlecount: NtQuerySystemInformation not found\n");
        return 1;
    }
    std::vector<BYTE> buffer(1 << 16);
    LONG status;
    for (;;) {
        ULONG returned = 0;
        status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                       &returned);
        if (status != kInfoLengthMismatch)
            break;
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        std::fprintf(stderr, "handlecount: NtQuerySystemInformation failed (0x%08lx)\n",
                     static_cast<unsigned long>(status));
        return 1;
    }
    const CHandleTable* table = reinterpret_cast<const CHandleTable*>(buffer.data());
    unsigned count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        count += table->entries[i].ownerPid == pid ? 1 : 0;
    std::printf("%u\n", count);
    return 0;
}
