#include "RestartLoop.h"

#include "Handles.h"
#include "LiveCheckNames.h"

namespace {

const char kMonitoredService[] = LIVECHECK_SERVICE_NAME;

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

} // namespace

CRestartOutcome EnsureMonitoredRunning() {
    static const CMonitorControl never;
    return EnsureMonitoredRunning(never, NULL, NULL);
}

CRestartOutcome EnsureMonitoredRunning(const CMonitorControl& control, RestartGoesOn goesOn,
                                       LPVOID context) {
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
    if (status.dwCurrentState == SERVICE_RUNNING) {
        outcome.kind = CRestartOutcome::FoundRunning;
        return outcome;
    }
    if (control.stopped.load())
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
        if (control.stopped.load()) {
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
        control.PauseUnlessStopped(RetrySleep(status.dwWaitHint));
        ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);
    }
    outcome.kind = CRestartOutcome::Ran;
    outcome.tookMs = GetTickCount() - started;
    return outcome;
}
