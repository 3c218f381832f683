#include "LivenessMonitor.h"

#include <atomic>

#include "Handles.h"
#include "LiveCheckNames.h"
#include "LiveFlag.h"

namespace {

const char kSectionName[] = LIVECHECK_SECTION_NAME;
const char kMonitoredService[] = LIVECHECK_SERVICE_NAME;
const char kAliveText[] = LIVECHECK_ALIVE_TEXT;
const DWORD kCheckPeriodMs = 1000;

// Written by the short-lived threads of StartMonitor and ReleaseMonitor.
// Taken out with an exchange, so a release racing a start closes the handle
// at most once, and neither thread sees a torn value.
std::atomic<HANDLE> s_monitorThread(NULL);

// Set once a stop or shutdown has been requested; never cleared.
std::atomic<bool> s_restartsStopped(false);

// Bounds of the sleep between restart tries. A wait hint of 0 would start
// and interrogate back to back; a quarter of a second still notices the
// service well within the one-second period. A hint of INFINITE, or of a
// day, would park the monitor for good; 10 s is what a client waiting on a
// starting service is advised to wait at most between looks.
const DWORD kMinRetrySleepMs = 250;
const DWORD kMaxRetrySleepMs = 10000;

DWORD RetrySleep(DWORD waitHint) {
    if (waitHint < kMinRetrySleepMs)
        return kMinRetrySleepMs;
    return waitHint > kMaxRetrySleepMs ? kMaxRetrySleepMs : waitHint;
}

// A start the service manager refuses for good: the service is disabled,
// marked for deletion or gone. Trying again with the same handle cannot
// succeed, and the handle would keep a deleted service in the database.
bool StartCannotSucceed(DWORD error) {
    return error == ERROR_SERVICE_DISABLED || error == ERROR_SERVICE_MARKED_FOR_DELETE ||
           error == ERROR_SERVICE_DOES_NOT_EXIST;
}

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

} // namespace

void StopRestarts() {
    s_restartsStopped.store(true);
}

DWORD WINAPI StartMonitor(LPVOID) {
    if (s_monitorThread.load() != NULL)
        return 0;
    HANDLE thread = CreateThread(NULL, 0, MonitorLoop, NULL, 0, NULL);
    HANDLE expected = NULL;
    if (!s_monitorThread.compare_exchange_strong(expected, thread)) {
        // Another start got in first; keep its handle, not two.
        CHandle surplus(thread);
    }
    return 0;
}

DWORD WINAPI ReleaseMonitor(LPVOID) {
    CHandle thread(s_monitorThread.exchange(NULL));
    return 0;
}

HANDLE MonitorThreadHandle() {
    return s_monitorThread.load();
}

DWORD WINAPI MonitorLoop(LPVOID) {
    for (;;) {
        if (!LiveCheck())
            EnsureMonitoredRunning();
        Sleep(kCheckPeriodMs);
    }
}

bool LiveCheck() {
    CHandle mapping(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSectionName));
    if (!mapping)
        return false;
    // The whole section from offset 0; a section is at least a page, so its
    // first two bytes are always there, but not always committed.
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view || !Readable(view.get(), sizeof kAliveText))
        return false;
    // Copied out rather than read in place: a page whose backing file cannot
    // be read in makes ReadProcessMemory fail, where a plain read would raise
    // an exception that would end the process.
    char flag[sizeof kAliveText];
    if (!ReadProcessMemory(GetCurrentProcess(), view.get(), flag, sizeof flag, NULL))
        return false;
    return FlagSaysAlive(flag, sizeof flag);
}

void EnsureMonitoredRunning() {
    // Declared in the order they are opened: the service handle is closed
    // first, then the manager handle, on every path.
    CServiceHandle manager(OpenSCManagerA(NULL, NULL, GENERIC_READ));
    if (!manager)
        return;
    CServiceHandle service(OpenServiceA(manager.get(), kMonitoredService, SERVICE_ALL_ACCESS));
    if (!service)
        return;

    // One record for the whole call. A query or interrogate that fails
    // without filling it leaves what the previous call put there.
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.get(), &status) &&
        !ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status))
        return;
    if (status.dwCurrentState == SERVICE_RUNNING)
        return;

    // A start refused here (still starting or stopping, disabled) is left
    // to the next check.
    if (s_restartsStopped.load() || StartServiceA(service.get(), 0, NULL) != TRUE)
        return;
    ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);

    // Interrogating a service that is still start pending fails but fills
    // the record, wait hint included, so the loop sleeps the service's own
    // hint. Other failures of a retry are left to the next turn.
    while (status.dwCurrentState != SERVICE_RUNNING) {
        if (s_restartsStopped.load())
            return;
        if (!StartServiceA(service.get(), 0, NULL) && StartCannotSucceed(GetLastError()))
            return;
        Sleep(RetrySleep(status.dwWaitHint));
        ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);
    }
}
