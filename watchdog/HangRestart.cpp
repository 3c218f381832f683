#include "HangRestart.h"

#include <utility>

#include "LiveCheckNames.h"

namespace {

const char kMonitoredService[] = LIVECHECK_SERVICE_NAME;

// How often the wait for a stop asks the service manager whether a service
// that shares its process has stopped; the end of a process is seen at once.
const DWORD kStopPollMs = 250;
// The exit code of a process the watchdog ends: the code Windows' service
// manager gives a service whose process ended unexpectedly.
const DWORD kEndedExitCode = ERROR_PROCESS_ABORTED;
// How long an ended process gets to be gone before its exit code is read.
const DWORD kEndWaitMs = 5000;
// How long the stop thread gets to reach its request.
const DWORD kStopSendWaitMs = 1000;

// The service's status into `status`, through `query`.
bool QueryStatus(QueryStatusExFunction query, SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return query(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                 &needed) != FALSE;
}

} // namespace

QueryStatusExFunction LookUpQueryStatusEx() {
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (advapi == NULL)
        return NULL;
    return reinterpret_cast<QueryStatusExFunction>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "QueryServiceStatusEx")));
}

bool QueryMonitored(QueryStatusExFunction query, SERVICE_STATUS_PROCESS& status) {
    // Declared in the order they are opened, so closed in reverse.
    CServiceHandle manager(OpenSCManagerA(NULL, NULL, GENERIC_READ));
    if (!manager)
        return false;
    CServiceHandle service(OpenServiceA(manager.get(), kMonitoredService, SERVICE_QUERY_STATUS));
    return service && QueryStatus(query, service.get(), status);
}

CHangRestarter::CHangRestarter(QueryStatusExFunction query, DWORD stopSeconds,
                               const CMonitorControl& control)
    : m_query(query), m_stopMs(stopSeconds * 1000), m_control(control), m_stopOutstanding(false),
      m_sparedPid(0) {}

bool CHangRestarter::Spared(DWORD pid) {
    if (m_spared && WaitForSingleObject(m_spared.get(), 0) != WAIT_TIMEOUT) {
        m_spared.reset(); // it ended: its id may be another process's now
        m_sparedPid = 0;
    }
    return m_spared && pid == m_sparedPid;
}

bool CHangRestarter::StillIn(SC_HANDLE service, DWORD pid, SERVICE_STATUS_PROCESS& status) const {
    status = SERVICE_STATUS_PROCESS();
    return QueryStatus(m_query, service, status) && status.dwCurrentState != SERVICE_STOPPED &&
           status.dwProcessId == pid;
}

DWORD WINAPI CHangRestarter::StopThread(LPVOID param) {
    CHangRestarter& self = *static_cast<CHangRestarter*>(param);
    {
        CServiceHandle manager(OpenSCManagerA(NULL, NULL, GENERIC_READ));
        CServiceHandle service;
        if (manager)
            service.reset(OpenServiceA(manager.get(), kMonitoredService, SERVICE_STOP));
        SetEvent(self.m_stopSent.get());
        SERVICE_STATUS status;
        // A handler that never answers keeps this call (and this thread)
        // until the service manager gives up on it, about 30 s on Windows.
        if (service)
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    }
    self.m_stopOutstanding.store(false);
    return 0;
}

void CHangRestarter::SendStop() {
    if (m_stopOutstanding.exchange(true))
        return;
    // Made at the first hang restart: a watchdog that never restarts a hung
    // Ondrimar holds no more handles than one without hang recovery.
    if (!m_stopSent)
        m_stopSent.reset(CreateEventA(NULL, TRUE, FALSE, NULL));
    else
        ResetEvent(m_stopSent.get());
    CHandle thread(CreateThread(NULL, 0, StopThread, this, 0, NULL));
    if (!thread) {
        m_stopOutstanding.store(false);
        return;
    }
    // StopSeconds count from the request itself, which the thread sends a
    // moment later.
    if (m_stopSent)
        WaitForSingleObject(m_stopSent.get(), kStopSendWaitMs);
}

bool CHangRestarter::WaitForStop(HANDLE process, SC_HANDLE service, bool shared,
                                 CHangFacts& facts) const {
    DWORD asked = GetTickCount();
    HANDLE wake = m_control.wake.load();
    for (;;) {
        if (m_control.stopped.load())
            return false; // HangLeft: nothing is ended once the watchdog stops
        DWORD elapsed = GetTickCount() - asked;
        if (elapsed >= m_stopMs)
            return true;
        DWORD left = m_stopMs - elapsed;
        DWORD slice = shared && left > kStopPollMs ? kStopPollMs : left;
        HANDLE handles[2];
        DWORD count = 0;
        if (process != NULL)
            handles[count++] = process;
        if (wake != NULL)
            handles[count++] = wake;
        DWORD waited = WAIT_TIMEOUT;
        if (count == 0)
            Sleep(slice);
        else
            waited = WaitForMultipleObjects(count, handles, FALSE, slice);
        if (process != NULL && waited == WAIT_OBJECT_0) {
            facts.end = HangStopped; // its process ended
            return false;
        }
        // An own process ends with its service; another's outlives it, so its
        // stop is asked of the service manager.
        SERVICE_STATUS_PROCESS status = {};
        if (shared && QueryStatus(m_query, service, status) &&
            status.dwCurrentState == SERVICE_STOPPED) {
            facts.end = HangStopped;
            return false;
        }
    }
}

void CHangRestarter::Restart(CHangFacts& facts) {
    facts.end = HangLeft;
    facts.exitCode = 0;
    facts.error = 0;
    facts.stopSeconds = m_stopMs / 1000;
    // Declared in the order they are opened, so closed in reverse.
    CServiceHandle manager(OpenSCManagerA(NULL, NULL, GENERIC_READ));
    CServiceHandle service;
    if (manager)
        service.reset(OpenServiceA(manager.get(), kMonitoredService, SERVICE_QUERY_STATUS));
    if (!service)
        return;
    // The process first, then the check that it is still the service's: an
    // id is reused only after its process has ended, and the handle keeps
    // this one from ending for good while it is held.
    CHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, facts.pid));
    DWORD openError = process ? ERROR_SUCCESS : GetLastError();
    SERVICE_STATUS_PROCESS status;
    if (!StillIn(service.get(), facts.pid, status))
        return;
    bool shared = (status.dwServiceType & SERVICE_WIN32_SHARE_PROCESS) != 0;

    SendStop();
    if (!WaitForStop(process.get(), service.get(), shared, facts))
        return;

    if (shared) {
        // Ending it would end the other services it hosts.
        facts.end = HangNotEnded;
        if (process) {
            m_sparedPid = facts.pid;
            m_spared = std::move(process);
        }
        return;
    }
    if (!process) {
        facts.end = HangEndFailed;
        facts.error = openError;
        return;
    }
    if (!StillIn(service.get(), facts.pid, status)) {
        facts.end = status.dwCurrentState == SERVICE_STOPPED ? HangStopped : HangLeft;
        return;
    }
    if (!TerminateProcess(process.get(), kEndedExitCode)) {
        facts.end = HangEndFailed;
        facts.error = GetLastError();
        return;
    }
    WaitForSingleObject(process.get(), kEndWaitMs);
    DWORD exitCode = kEndedExitCode;
    GetExitCodeProcess(process.get(), &exitCode);
    facts.end = HangEnded;
    facts.exitCode = exitCode;
}
