#include "LivenessMonitor.h"

#include <atomic>

#include "Handles.h"
#include "MonitorLoop.h"

namespace {

// Written by the short-lived threads of StartMonitor and ReleaseMonitor.
// Taken out with an exchange, so a release racing a start closes the handle
// at most once, and neither thread sees a torn value.
std::atomic<HANDLE> s_monitorThread(NULL);

// What the monitor thread is given; it lives as long as the process, since
// the thread never ends.
CMonitorConfig s_config;

} // namespace

void SetMonitorRecordSource(LPCSTR source, PSID user) {
    CRecordSource& target = s_config.source;
    lstrcpynA(target.name, source != NULL ? source : "", sizeof target.name);
    target.hasUser =
        user != NULL && IsValidSid(user) && CopySid(sizeof target.user, target.user, user);
}

void SetMonitorHangSettings(const CHangSettings& settings) {
    s_config.hang = settings;
}

void StopRestarts() {
    CMonitorControl& control = s_config.control;
    control.stopped.store(true);
    HANDLE wake = control.wake.load();
    if (wake != NULL)
        SetEvent(wake);
}

bool AwaitRestartsStopped(DWORD timeoutMs) {
    HANDLE taken = s_config.control.taken.load();
    return taken == NULL || WaitForSingleObject(taken, timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI StartMonitor(LPVOID) {
    if (s_monitorThread.load() != NULL)
        return 0;
    HANDLE thread = CreateThread(NULL, 0, MonitorLoop, &s_config, 0, NULL);
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
