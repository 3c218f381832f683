#include "LivenessMonitor.h"

#include <atomic>

#include "EventRecord.h"
#include "Handles.h"
#include "LiveCheckNames.h"
#include "LiveFlag.h"
#include "RestartRecords.h"

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

// The monitor thread's two manual-reset events, created and owned by it and
// published here for StopRestarts and AwaitRestartsStopped (null until the
// thread has made them). s_wake is set by StopRestarts, and cuts short the
// monitor's waits; s_restartsTaken is set by the monitor once it has taken
// the stop in. The thread never ends, so neither is ever closed.
std::atomic<HANDLE> s_wake(NULL);
std::atomic<HANDLE> s_restartsTaken(NULL);

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

// Sleeps `ms`, or less once StopRestarts has been called. Without the
// monitor's event (EnsureMonitoredRunning called from elsewhere), a plain
// sleep.
void PauseUnlessStopped(DWORD ms) {
    HANDLE wake = s_wake.load();
    if (wake == NULL || WaitForSingleObject(wake, ms) == WAIT_FAILED)
        Sleep(ms);
}

// The monitor's records: the source and user they go under, copied by
// SetMonitorRecordSource before the monitor starts and only read by the
// monitor thread afterwards. Plain arrays, not owners: nothing may be freed
// at process exit while the monitor thread could still be writing.
char s_recordSource[257];
BYTE s_recordUser[SECURITY_MAX_SID_SIZE];
bool s_hasRecordUser = false;

// At most one restart record a minute; the monitor thread alone uses these.
const DWORD kRecordPeriodMs = 60000;
CRecordPacing s_pacing(kRecordPeriodMs);
CRestartFacts s_lastRestart;
// Set by the warning that the service cannot be started, cleared by the
// next accepted start: one warning, however long the refusals go on.
bool s_warned = false;

// A record that cannot be written changes nothing: the monitor goes on as
// if it had been.
void WriteRecord(WORD type, LPCSTR text) {
    if (s_recordSource[0] != '\0')
        WriteEventRecord(s_recordSource, s_hasRecordUser ? s_recordUser : NULL, type,
                         DefaultEventId(type), text);
}

// Writes the record of `restarts` starts (none when 0), the latest of them
// s_lastRestart, as CRecordPacing handed them over.
void WriteRestartRecord(DWORD restarts, bool counted) {
    if (restarts == 0)
        return;
    char text[512];
    FormatRestartRecord(text, sizeof text, kMonitoredService, kSectionName, s_lastRestart, restarts,
                        counted);
    WriteRecord(EVENTLOG_INFORMATION_TYPE, text);
}

// Writes the restart record that is due, if any.
void WriteDueRestartRecord() {
    bool counted = false;
    DWORD restarts = s_pacing.Take(GetTickCount(), counted);
    WriteRestartRecord(restarts, counted);
}

// At the watchdog's stop: the record of the starts not yet told, if any,
// whatever the time since the previous record.
void WritePendingRestartRecord() {
    bool counted = false;
    DWORD restarts = s_pacing.Flush(GetTickCount(), counted);
    WriteRestartRecord(restarts, counted);
}

void WriteGiveUpRecord(DWORD refusal) {
    if (s_warned)
        return;
    s_warned = true;
    EGiveUpReason reason = refusal == ERROR_SERVICE_DISABLED            ? ServiceDisabled
                           : refusal == ERROR_SERVICE_MARKED_FOR_DELETE ? ServiceMarkedForDelete
                                                                        : ServiceGone;
    char text[512];
    FormatGiveUpRecord(text, sizeof text, kMonitoredService, reason);
    WriteRecord(EVENTLOG_WARNING_TYPE, text);
}

// A restart that has not reached running this long after its first start
// is told while it goes on. An ordinary restart runs within a second, and
// one that stays start pending sleeps at most 10 s between looks: past that,
// a service that dies during every start would otherwise go unrecorded for
// as long as it does.
const DWORD kLongRestartMs = 10000;

// The starts of one restart, and how many of them the pacing has counted.
struct CRestartTally {
    CSectionSeen seen; // at the check that led to the restart
    DWORD counted;
};

// Counts the starts of a long restart as they come, each time as the latest
// restart, not yet running, and writes the record the pacing says is due:
// at most one a minute. The monitor's RestartGoesOn.
void RecordRestartGoingOn(DWORD starts, DWORD sinceFirstStartMs, LPVOID context) {
    CRestartTally& tally = *static_cast<CRestartTally*>(context);
    if (sinceFirstStartMs < kLongRestartMs)
        return;
    if (starts > tally.counted) {
        s_warned = false;
        s_lastRestart.seen = tally.seen;
        s_lastRestart.end = RestartGoingOn;
        s_lastRestart.tookMs = 0;
        s_pacing.Count(GetTickCount(), starts - tally.counted);
        tally.counted = starts;
    }
    WriteDueRestartRecord();
}

// Records what a call of EnsureMonitoredRunning did, after a check that
// found the section as `tally.seen`; the pacing has counted `tally.counted`
// of its starts already. Every accepted start counts, also those of a
// restart that ends in a refusal: each was a start of the service.
void RecordRestart(const CRestartTally& tally, const CRestartOutcome& outcome) {
    if (outcome.starts != 0) {
        s_warned = false;
        s_lastRestart.seen = tally.seen;
        s_lastRestart.end = outcome.kind == CRestartOutcome::Ran      ? RestartRan
                            : outcome.kind == CRestartOutcome::GaveUp ? RestartRefused
                                                                      : RestartStopped;
        s_lastRestart.tookMs = outcome.tookMs;
        if (outcome.starts > tally.counted)
            s_pacing.Count(GetTickCount(), outcome.starts - tally.counted);
        WriteDueRestartRecord(); // before a warning that follows from it
    }
    if (outcome.kind == CRestartOutcome::Refused || outcome.kind == CRestartOutcome::GaveUp)
        WriteGiveUpRecord(outcome.refusal);
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

// NotifyServiceStatusChangeW, of advapi32 from Windows Vista on.
typedef DWORD(WINAPI* NotifyStatusChangeFunction)(SC_HANDLE service, DWORD mask,
                                                  PSERVICE_NOTIFYW buffer);

// The function, or null where there is none: it is looked up at run time,
// so that the exe still loads on Windows 9x, NT 4, 2000 and XP, which then
// poll alone. The benchmark's build of the watchdog defines
// BRISVEL_NO_STOP_NOTICE to measure the poll alone; the shipped one does not.
//
// The wide form, although everything else here is ANSI: no text crosses the
// call (names come only with the notices of a manager handle, which the
// monitor does not ask for), and Wine 8's advapi32 has no
// NotifyServiceStatusChangeA at all.
NotifyStatusChangeFunction LookUpNotifyStatusChange() {
#ifdef BRISVEL_NO_STOP_NOTICE
    return NULL;
#else
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (advapi == NULL)
        return NULL;
    return reinterpret_cast<NotifyStatusChangeFunction>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "NotifyServiceStatusChangeW")));
#endif
}

// True when `service` is marked for deletion: a configuration change that
// changes nothing is refused then, and only then, with
// ERROR_SERVICE_MARKED_FOR_DELETE. Wine's service manager never sends the
// delete-pending notice, nor refuses a notice request or an open of such a
// service as Windows does; this is how the monitor learns of the deletion
// there, at the service's stop.
bool MarkedForDeletion(SC_HANDLE service) {
    return !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                 NULL, NULL, NULL, NULL, NULL, NULL, NULL) &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

// The service manager's notice that "Ondrimar" stopped, or was marked for
// deletion, for the monitor thread alone. The request is one-shot: each
// notice is asked for anew. The notice is an APC queued to the thread that
// asked, run only while that thread waits alertably, so the monitor asks
// and waits on its own thread, and the buffer the service manager fills
// lives in the monitor thread's frame, which is never left: no notice can
// run into freed memory, whenever it comes.
//
// The service handle is kept from one request to the next; while it is
// open, a deleted service stays in the service manager's database. So it is
// closed when the service is marked for deletion, cannot be started for
// good (disabled, marked for deletion, gone), a request fails, or the
// watchdog stops; and none is opened again until the monitor's next
// accepted start, which also gives a re-created service a handle of its own.
class CStopNotice {
public:
    CStopNotice()
        : m_notify(LookUpNotifyStatusChange()), m_buffer(), m_asked(false), m_came(false),
          m_triggered(0), m_mayOpen(true) {}

    CStopNotice(const CStopNotice&) = delete;
    CStopNotice& operator=(const CStopNotice&) = delete;

    // Asks for the next notice, unless one is asked for already, there is
    // no notice to ask for, or the handle was closed since the last accepted
    // start; opens the service first when no handle is held. Before asking
    // again after a stop, closes the handle of a service marked for
    // deletion. Any failure closes the handle: the monitor then polls alone
    // until its next accepted start.
    void Ask() {
        if (m_notify == NULL || m_asked || !m_mayOpen)
            return;
        bool stopped = (m_triggered & SERVICE_NOTIFY_STOPPED) != 0;
        m_triggered = 0;
        if (m_service && stopped && MarkedForDeletion(m_service.get())) {
            Close();
            return;
        }
        if (!m_service) {
            m_manager.reset(OpenSCManagerA(NULL, NULL, GENERIC_READ));
            if (m_manager)
                m_service.reset(OpenServiceA(m_manager.get(), kMonitoredService,
                                             SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG));
            if (!m_service) {
                Close();
                return;
            }
        }
        m_buffer = SERVICE_NOTIFYW();
        m_buffer.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
        m_buffer.pfnNotifyCallback = Came;
        m_buffer.pContext = this;
        // Refused with ERROR_SERVICE_MARKED_FOR_DELETE (the handle must go),
        // ERROR_SERVICE_NOTIFY_CLIENT_LAGGING (a new handle is needed), or
        // an error of a system without notices.
        if (m_notify(m_service.get(), SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_DELETE_PENDING,
                     &m_buffer) == ERROR_SUCCESS)
            m_asked = true;
        else
            Close();
    }

    // Waits up to `ms`, alertably so that a notice can come, or until `wake`
    // is set. A notice that the service is marked for deletion closes the
    // handle at once.
    void Wait(HANDLE wake, DWORD ms) {
        m_came = false;
        WaitForSingleObjectEx(wake, ms, TRUE);
        if (m_came && (m_triggered & SERVICE_NOTIFY_DELETE_PENDING) != 0)
            Close();
    }

    // Takes in how a restart ended: an accepted start lets a handle be
    // opened again; a start refused for good closes it.
    void Follow(const CRestartOutcome& outcome) {
        if (outcome.starts != 0)
            m_mayOpen = true;
        if (outcome.kind == CRestartOutcome::Refused || outcome.kind == CRestartOutcome::GaveUp)
            Close();
    }

    // Closes the handle, which cancels the request: no notice is queued
    // after this. None is opened again until the next accepted start.
    void Close() {
        m_service.reset();
        m_manager.reset();
        m_asked = false;
        m_mayOpen = false;
    }

private:
    // The notice, run as an APC on the monitor thread while it waits in
    // Wait; `notify` is m_buffer.
    static void CALLBACK Came(PVOID notify) {
        SERVICE_NOTIFYW* buffer = static_cast<SERVICE_NOTIFYW*>(notify);
        CStopNotice* self = static_cast<CStopNotice*>(buffer->pContext);
        self->m_asked = false;
        self->m_came = true;
        if (buffer->dwNotificationStatus == ERROR_SUCCESS)
            self->m_triggered |= buffer->dwNotificationTriggered;
    }

    NotifyStatusChangeFunction m_notify;
    // Declared in the order they are opened: the service handle is closed
    // first, then the manager handle.
    CServiceHandle m_manager;
    CServiceHandle m_service;
    SERVICE_NOTIFYW m_buffer;
    bool m_asked;      // a request is outstanding: m_buffer is the service manager's
    bool m_came;       // a notice came during the last Wait
    DWORD m_triggered; // SERVICE_NOTIFY_* bits of the notices since the last Ask
    bool m_mayOpen;    // no Close since the last accepted start
};

} // namespace

void SetMonitorRecordSource(LPCSTR source, PSID user) {
    lstrcpynA(s_recordSource, source != NULL ? source : "", sizeof s_recordSource);
    s_hasRecordUser =
        user != NULL && IsValidSid(user) && CopySid(sizeof s_recordUser, s_recordUser, user);
}

void StopRestarts() {
    s_restartsStopped.store(true);
    HANDLE wake = s_wake.load();
    if (wake != NULL)
        SetEvent(wake);
}

bool AwaitRestartsStopped(DWORD timeoutMs) {
    HANDLE taken = s_restartsTaken.load();
    return taken == NULL || WaitForSingleObject(taken, timeoutMs) == WAIT_OBJECT_0;
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
    // Owned by this frame, which is never left; published for StopRestarts
    // and AwaitRestartsStopped, and checked against a stop that came before.
    CHandle wake(CreateEventA(NULL, TRUE, FALSE, NULL));
    CHandle taken(CreateEventA(NULL, TRUE, FALSE, NULL));
    s_wake.store(wake.get());
    s_restartsTaken.store(taken.get());
    CStopNotice notice;
    // Asked for before the first check too: the service is opened for the
    // notice as the watchdog starts, not in the middle of its watch after
    // the first restart. A notice asked for on a service that is stopped
    // already comes at once (Wine's does), and a second check then follows
    // the first at once.
    notice.Ask();
    bool stopTaken = false;
    for (;;) {
        CRestartTally tally = {};
        if (!CheckSection(tally.seen)) {
            CRestartOutcome outcome = EnsureMonitoredRunning(RecordRestartGoingOn, &tally);
            RecordRestart(tally, outcome);
            notice.Follow(outcome);
        }
        if (!stopTaken && s_restartsStopped.load()) {
            notice.Close();
            WritePendingRestartRecord();
            stopTaken = true;
            SetEvent(taken.get());
        }
        // Also while the flag says "1": the restarts counted in the minute
        // after a record are told when that minute ends.
        WriteDueRestartRecord();
        if (stopTaken || !wake) {
            Sleep(kCheckPeriodMs);
            continue;
        }
        notice.Ask();
        notice.Wait(wake.get(), kCheckPeriodMs);
    }
}

bool LiveCheck() {
    CSectionSeen seen;
    return CheckSection(seen);
}

bool CheckSection(CSectionSeen& seen) {
    seen.size = 0;
    seen.state = SectionUnreadable;
    CHandle mapping(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSectionName));
    if (!mapping) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            seen.state = SectionMissing;
        return false;
    }
    // The whole section from offset 0; a section is at least a page, so its
    // first bytes are always there, but not always committed.
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view || !Readable(view.get(), sizeof seen.bytes))
        return false;
    // Copied out rather than read in place: a page whose backing file cannot
    // be read in makes ReadProcessMemory fail, where a plain read would raise
    // an exception that would end the process. The flag needs two bytes; the
    // rest is read only for the record of a check that failed.
    if (!ReadProcessMemory(GetCurrentProcess(), view.get(), seen.bytes, sizeof kAliveText, NULL))
        return false;
    seen.state = SectionHeld;
    seen.size = sizeof kAliveText;
    if (FlagSaysAlive(seen.bytes, sizeof kAliveText))
        return true;
    if (ReadProcessMemory(GetCurrentProcess(), view.get(), seen.bytes, sizeof seen.bytes, NULL))
        seen.size = sizeof seen.bytes;
    return false;
}

CRestartOutcome EnsureMonitoredRunning(RestartGoesOn goesOn, LPVOID context) {
    CRestartOutcome outcome = {CRestartOutcome::NothingStarted, 0, 0, 0};
    // Declared in the order they are opened: the service handle is closed
    // first, then the manager handle, on every path.
    CServiceHandle manager(OpenSCManagerA(NULL, NULL, GENERIC_READ));
    if (!manager)
        return outcome;
    CServiceHandle service(OpenServiceA(manager.get(), kMonitoredService, SERVICE_ALL_ACCESS));
    if (!service)
        return outcome;

    // One status record for the whole call. A query or interrogate that
    // fails without filling it leaves what the previous call put there.
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.get(), &status) &&
        !ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status))
        return outcome;
    if (status.dwCurrentState == SERVICE_RUNNING || s_restartsStopped.load())
        return outcome;

    // A start refused here (still starting or stopping, disabled) is left
    // to the next check.
    DWORD firstStart = GetTickCount();
    DWORD started = firstStart;
    if (StartServiceA(service.get(), 0, NULL) != TRUE) {
        DWORD error = GetLastError();
        if (StartCannotSucceed(error)) {
            outcome.kind = CRestartOutcome::Refused;
            outcome.refusal = error;
        }
        return outcome;
    }
    outcome.starts = 1;
    ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);

    // Interrogating a service that is still start pending fails but fills
    // the record, wait hint included, so the loop sleeps the service's own
    // hint. Other failures of a retry are left to the next turn.
    while (status.dwCurrentState != SERVICE_RUNNING) {
        if (s_restartsStopped.load()) {
            outcome.kind = CRestartOutcome::Abandoned;
            return outcome;
        }
        // Accepted again when the service stopped since the last try (it
        // failed, or was stopped): one more start.
        DWORD retried = GetTickCount();
        if (StartServiceA(service.get(), 0, NULL)) {
            started = retried;
            ++outcome.starts;
        } else {
            DWORD error = GetLastError();
            if (StartCannotSucceed(error)) {
                outcome.kind = CRestartOutcome::GaveUp;
                outcome.refusal = error;
                return outcome;
            }
        }
        // Before the pause, so that a record that is due is not late by it.
        if (goesOn != NULL)
            goesOn(outcome.starts, GetTickCount() - firstStart, context);
        PauseUnlessStopped(RetrySleep(status.dwWaitHint));
        ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);
    }
    outcome.kind = CRestartOutcome::Ran;
    outcome.tookMs = GetTickCount() - started;
    return outcome;
}
