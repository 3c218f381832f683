// The restart of a hung Ondrimar: asked to stop, given StopSeconds, and then
// its process ended, never one that is not Ondrimar's, never one that hosts
// other services, never the watchdog's own.
#pragma once

#include <windows.h>

#include <atomic>

#include "HangRecords.h"
#include "Handles.h"
#include "MonitorControl.h"

// QueryServiceStatusEx, of advapi32 from Windows 2000 on.
typedef BOOL(WINAPI* QueryStatusExFunction)(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer,
                                            DWORD size, LPDWORD needed);

// The function, or null on Windows 9x and NT 4, where the exe must still
// load: it is looked up at run time.
QueryStatusExFunction LookUpQueryStatusEx();

// The service "Ondrimar" as the service manager reports it now, its process
// id included, through `query`. False when it cannot be opened or asked.
bool QueryMonitored(QueryStatusExFunction query, SERVICE_STATUS_PROCESS& status);

class CHangRestarter {
public:
    // `query` is used only by Restart, which needs it not null; `control`
    // must outlive the object.
    CHangRestarter(QueryStatusExFunction query, DWORD stopSeconds, const CMonitorControl& control);

    CHangRestarter(const CHangRestarter&) = delete;
    CHangRestarter& operator=(const CHangRestarter&) = delete;

    // True while hang recovery leaves process `pid` alone: a process that
    // hosts other services, did not stop when asked and still runs.
    bool Spared(DWORD pid);

    // Asks Ondrimar, hung in process `pid`, to stop, and waits up to
    // StopSeconds, counted from the request, for it to stop or for its
    // process to end. If it has not, ends the process, unless it hosts other
    // services (then it is spared while it runs) or the service no longer
    // reports that process. The stop is sent from a thread of its own, so
    // that a control handler that never answers holds neither the monitor
    // nor the count. The watchdog's stop ends the wait at once, and nothing
    // is ended then. Fills `facts.end`, `exitCode` and `error`; starts
    // nothing (the monitor's next check does).
    void Restart(CHangFacts& facts);

private:
    // Sends the stop control to Ondrimar on a detached thread, unless the
    // one sent before is still waiting for its answer.
    void SendStop();
    // The stop thread; `param` is the restarter.
    static DWORD WINAPI StopThread(LPVOID param);

    // Waits, from now, up to StopSeconds for the stop: for `process` (may
    // be null) to end, or for a `shared` service to report stopped. Returns
    // true when the time ran out; false when it stopped (`facts.end` says
    // so) or the watchdog is stopping (`facts.end` stays HangLeft).
    bool WaitForStop(HANDLE process, SC_HANDLE service, bool shared, CHangFacts& facts) const;

    // Whether the service still reports process `pid`, in any state but
    // stopped; its status (zeros when it cannot be asked) in `status`.
    bool StillIn(SC_HANDLE service, DWORD pid, SERVICE_STATUS_PROCESS& status) const;

    QueryStatusExFunction m_query;
    DWORD m_stopMs;
    const CMonitorControl& m_control;
    // Set while a stop thread waits in ControlService; cleared by it. The
    // object lives in the monitor thread's frame, which is never left, so
    // the thread can always reach it.
    std::atomic<bool> m_stopOutstanding;
    // Set by the stop thread as it sends its request; made at the first.
    CHandle m_stopSent;
    DWORD m_sparedPid;
    CHandle m_spared; // the spared process, held so that its id stays its own
};
