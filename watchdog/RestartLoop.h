// The restart of a service "Ondrimar" that is not running: started, then
// started and interrogated again until it reports running.
#pragma once

#include <windows.h>

#include "MonitorControl.h"

// How a call of EnsureMonitoredRunning ended.
struct CRestartOutcome {
    enum EKind {
        NothingStarted, // not to be started, or left to the next check
        FoundRunning,   // it was running: nothing to do
        Refused,        // the start was refused for good (`refusal`)
        Ran,            // started, and running `tookMs` after the last start request
        GaveUp,         // started, then a retry was refused for good (`refusal`)
        Abandoned,      // started, then restarts were stopped before it ran
    } kind;
    DWORD starts; // accepted start requests
    DWORD tookMs;
    DWORD refusal; // ERROR_SERVICE_DISABLED, _MARKED_FOR_DELETE or _DOES_NOT_EXIST
};

// Told by EnsureMonitoredRunning at each turn of its retry loop: the starts
// accepted so far, and the milliseconds since the first of them.
typedef void (*RestartGoesOn)(DWORD starts, DWORD sinceFirstStartMs, LPVOID context);

// When the service "Ondrimar" is installed and not running, starts it and
// keeps starting and interrogating it, sleeping its wait hint (250 ms to
// 10 s, cut short by the watchdog's stop) between tries, until it reports
// running. Every failure before the first accepted start ends the attempt
// until the next check, and so does a retry refused because the service is
// disabled, deleted or gone, or the watchdog's stop (`control`). Starts
// nothing once the stop has been requested. Calls `goesOn` (unless null)
// with `context` at each turn of the retry loop. Returns how it ended;
// writes no record itself.
CRestartOutcome EnsureMonitoredRunning(const CMonitorControl& control, RestartGoesOn goesOn,
                                       LPVOID context);

// The same, never told to stop: for a caller outside the monitor.
CRestartOutcome EnsureMonitoredRunning();
