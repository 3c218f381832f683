// CBrisvelService: the watchdog service. Its Execute only polls its stop,
// pause and continue events; the work is done by the liveness monitor
// thread it starts.
#pragma once

#include <windows.h>

#include "NTService.h"

class CBrisvelService : public CNTService {
public:
    // Service name "Ondrimar" (also the name of the service the monitor
    // watches), no display name, accepts stop, pause-continue and shutdown.
    CBrisvelService();

    // Reports start pending and running, starts the liveness monitor and
    // polls the events until the stop event is set; then waits (3 s at most)
    // for the monitor to take the stop in, closes the events and returns 1,
    // and the caller reports stopped. When an event cannot be
    // created it writes an error record and returns 0 without reporting
    // running, with CreateEventA's error as the last error.
    BOOL Execute(DWORD argc, LPSTR* argv) override;
    // Stops the monitor's restarts, reports stop pending, releases the
    // monitor's handle on a short-lived thread and sets the stop event.
    BOOL OnStop() override;
    // Reports pause pending, sets the pause event and reports paused at once.
    BOOL OnPause() override;
    // Reports continue pending, sets the continue event and reports running.
    BOOL OnContinue() override;
    // Stops the monitor's restarts and sets the stop event: no report, the
    // monitor's handle is left alone.
    BOOL OnShutdown() override;

    // Created by Execute before it reports running, and set back to null
    // (under m_stateLock) before Execute closes them, so a handler that
    // comes late finds no event to set instead of a closed handle.
    HANDLE m_stopEvent;
    HANDLE m_pauseEvent;
    HANDLE m_continueEvent;

private:
    void SetEventIfCreated(HANDLE CBrisvelService::*event);
    BOOL ReportEventCreationFailure();
};
