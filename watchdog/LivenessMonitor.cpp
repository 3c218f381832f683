#include "LivenessMonitor.h"

#include <atomic>

#include "Handles.h"
#include "LiveFlag.h"

namespace {

const char kSectionName[] = "Ondrimar_LiveCheck";
const char kMonitoredService[] = "Ondrimar";
const char kAliveText[] = "1";
const DWORD kCheckPeriodMs = 1000;

// Written by the short-lived threads of StartMonitor and ReleaseMonitor.
// Taken out with an exchange, so a release racing a start closes the handle
// at most once, and neither thread sees a torn value.
std::atomic<HANDLE> s_monitorThread(NULL);

} // namespace

// A service that reports a wait hint of 0 while starting would otherwise be
// started and interrogated back to back. A quarter of a second keeps the
// loop from spinning while still noticing the service well within the
// monitor's one-second period.
const DWORD kMinRetrySleepMs = 250;

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
    // first two bytes are always there.
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view)
        return false;
    return FlagSaysAlive(static_cast<const char*>(view.get()), sizeof kAliveText);
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
    if (StartServiceA(service.get(), 0, NULL) != TRUE)
        return;
    ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);

    // Interrogating a service that is still start pending fails but fills
    // the record, wait hint included, so the loop sleeps the service's own
    // hint.
    while (status.dwCurrentState != SERVICE_RUNNING) {
        StartServiceA(service.get(), 0, NULL);
        Sleep(status.dwWaitHint > kMinRetrySleepMs ? status.dwWaitHint : kMinRetrySleepMs);
        ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);
    }
}
