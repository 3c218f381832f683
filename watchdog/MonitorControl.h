// What the service's threads and the monitor thread share: the watchdog's
// stop, the event that cuts the monitor's waits short, and the event by
// which the monitor tells that it has taken the stop in. One object lives
// for the whole process; the monitor's parts are given it as a parameter.
#pragma once

#include <windows.h>

#include <atomic>

struct CMonitorControl {
    CMonitorControl() : stopped(false), wake(NULL), taken(NULL) {}

    // Set once a stop or shutdown has been requested; never cleared.
    std::atomic<bool> stopped;
    // The monitor thread's two manual-reset events, created and owned by it
    // (null until it has made them). `wake` is set at the stop; `taken` by
    // the monitor once it has taken the stop in. The monitor thread never
    // ends, so neither is ever closed.
    std::atomic<HANDLE> wake;
    std::atomic<HANDLE> taken;

    // Sleeps `ms`, or less once the stop has been requested. Without the
    // monitor's event (a restart run from elsewhere), a plain sleep.
    void PauseUnlessStopped(DWORD ms) const {
        HANDLE event = wake.load();
        if (event == NULL || WaitForSingleObject(event, ms) == WAIT_FAILED)
            Sleep(ms);
    }
};
