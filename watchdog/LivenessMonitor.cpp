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

// Writes the restart record that is due, if any.
void WriteDueRestartRecord() {
    bool counted = false;
    DWORD restarts = s_pacing.Take(GetTickCount(), counted);
    if (restarts == 0)
        return;
    char text[512];
    FormatRestartRecord(text, sizeof text, kMonitoredService, kSectionName, s_lastRestart, restarts,
                        counted);
    WriteRecord(EVENTLOG_INFORMATION_TYPE, text);
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

// Records what a call of EnsureMonitoredRunning did, after a check that
// found the section as `seen`. Every accepted start counts, also those of a
// restart that ends in a refusal: each was a start of the service.
void RecordRestart(const CSectionSeen& seen, const CRestartOutcome& outcome) {
    if (outcome.starts != 0) {
        s_warned = false;
        s_lastRestart.seen = seen;
        s_lastRestart.end = outcome.kind == CRestartOutcome::Ran      ? RestartRan
                            : outcome.kind == CRestartOutcome::GaveUp ? RestartRefused
                                                                      : RestartStopped;
        s_lastRestart.tookMs = outcome.tookMs;
        s_pacing.Count(GetTickCount(), outcome.starts);
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

} // namespace

void SetMonitorRecordSource(LPCSTR source, PSID user) {
    lstrcpynA(s_recordSource, source != NULL ? source : "", sizeof s_recordSource);
    s_hasRecordUser =
        user != NULL && IsValidSid(user) && CopySid(sizeof s_recordUser, s_recordUser, user);
}

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
        CSectionSeen seen;
        if (!CheckSection(seen))
            RecordRestart(seen, EnsureMonitoredRunning());
        // Also while the flag says "1": the restarts counted in the minute
        // after a record are told when that minute ends.
        WriteDueRestartRecord();
        Sleep(kCheckPeriodMs);
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

CRestartOutcome EnsureMonitoredRunning() {
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
    DWORD started = GetTickCount();
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
        Sleep(RetrySleep(status.dwWaitHint));
        ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);
    }
    outcome.kind = CRestartOutcome::Ran;
    outcome.tookMs = GetTickCount() - started;
    return outcome;
}
