#include "BrisvelService.h"

#include <stdio.h>

#include "LiveCheckNames.h"
#include "LivenessMonitor.h"

namespace {

const DWORD kWaitHint = 3000;
const DWORD kStopWaitHint = 5000;
// How long a stop waits for the monitor's last record: well within the stop
// wait hint. Only a monitor inside a call to the service manager that hangs
// takes longer.
const DWORD kMonitorStopWaitMs = 3000;

// Runs `procedure` on a thread of its own, not waited for. The thread's
// handle is not needed and is closed at once; the thread runs on.
void RunDetached(LPTHREAD_START_ROUTINE procedure) {
    CHandle thread(CreateThread(NULL, 0, procedure, NULL, 0, NULL));
}

HANDLE CreateManualResetEvent() {
    return CreateEventA(NULL, TRUE, FALSE, NULL);
}

// An event counts as set only when the wait says so: a time-out or a failed
// wait counts as not set.
bool IsSet(HANDLE event, DWORD milliseconds) {
    return WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0;
}

// Polls one event at a time until the stop event is set. Running mode waits
// 10 ms on stop and 5 ms on pause in turn; paused mode waits 50 ms on
// continue and 50 ms on stop in turn, and leaving it resets the pause and
// continue events so a later pause works again.
void PollUntilStopped(HANDLE stopEvent, HANDLE pauseEvent, HANDLE continueEvent) {
    for (;;) {
        if (IsSet(stopEvent, 10))
            return;
        if (!IsSet(pauseEvent, 5))
            continue;
        for (;;) {
            if (IsSet(continueEvent, 50))
                break;
            if (IsSet(stopEvent, 50))
                return;
        }
        ResetEvent(pauseEvent);
        ResetEvent(continueEvent);
    }
}

// A hang-recovery setting that is not taken: one warning record.
void WarnOfSetting(LPCSTR text, LPVOID service) {
    static_cast<CBrisvelService*>(service)->LogEvent(text, EVENTLOG_WARNING_TYPE,
                                                     CNTService::kDefaultEventId);
}

} // namespace

CBrisvelService::CBrisvelService()
    : CNTService(LIVECHECK_SERVICE_NAME, NULL), m_stopEvent(NULL), m_pauseEvent(NULL),
      m_continueEvent(NULL) {
    m_controlsAccepted =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
}

BOOL CBrisvelService::ReportEventCreationFailure() {
    // Called straight after the failed CreateEventA, while its error is the
    // last error; that error is the last error again on return, for the
    // stopped report.
    DWORD error = GetLastError();
    char reason[256];
    FormatLastError(reason, 255);
    char text[300];
    snprintf(text, sizeof text, "CreateEvent failed - %s", reason);
    LogEvent(text, EVENTLOG_ERROR_TYPE, kDefaultEventId);
    SetLastError(error);
    return 0;
}

BOOL CBrisvelService::Execute(DWORD, LPSTR*) {
    SetStatus(SERVICE_START_PENDING, kWaitHint, 0);
    // The monitor's records go under the same source and user as the
    // service's own.
    SetMonitorRecordSource(m_eventSource, m_userSid.get());
    // Hang recovery's settings, under the name the service runs as; a value
    // that is not taken gives a warning under the same source.
    SetMonitorHangSettings(ReadHangSettings(m_eventSource, WarnOfSetting, this));

    // Without its stop event the loop below could never end, and the
    // service could never be stopped: rather than reporting running, give
    // up here (the events made so far are closed) and let ServiceMainProc
    // report stopped.
    CHandle stopEvent(CreateManualResetEvent());
    if (!stopEvent)
        return ReportEventCreationFailure();
    CHandle pauseEvent(CreateManualResetEvent());
    if (!pauseEvent)
        return ReportEventCreationFailure();
    CHandle continueEvent(CreateManualResetEvent());
    if (!continueEvent)
        return ReportEventCreationFailure();

    {
        CCriticalSectionLock lock(m_stateLock);
        m_stopEvent = stopEvent.get();
        m_pauseEvent = pauseEvent.get();
        m_continueEvent = continueEvent.get();
    }

    // Only from this report on does the SCM send stop, pause, continue and
    // shutdown (start pending accepts no controls), so the handlers never
    // run before the events exist.
    SetStatus(SERVICE_RUNNING, kWaitHint, 0);
    RunDetached(StartMonitor);

    PollUntilStopped(stopEvent.get(), pauseEvent.get(), continueEvent.get());
    // Before the stopped report, after which the process ends: the monitor
    // closes its notice and writes the record of the starts not yet told.
    AwaitRestartsStopped(kMonitorStopWaitMs);

    {
        CCriticalSectionLock lock(m_stateLock);
        m_stopEvent = NULL;
        m_pauseEvent = NULL;
        m_continueEvent = NULL;
    }
    stopEvent.reset();
    pauseEvent.reset();
    continueEvent.reset();
    return 1;
}

void CBrisvelService::SetEventIfCreated(HANDLE CBrisvelService::*event) {
    // Held while setting, so Execute cannot close the event in between.
    CCriticalSectionLock lock(m_stateLock);
    if (this->*event != NULL)
        SetEvent(this->*event);
}

BOOL CBrisvelService::OnStop() {
    StopRestarts();
    SetStatus(SERVICE_STOP_PENDING, kStopWaitHint, 0);
    RunDetached(ReleaseMonitor);
    SetEventIfCreated(&CBrisvelService::m_stopEvent);
    return 1;
}

BOOL CBrisvelService::OnPause() {
    SetStatus(SERVICE_PAUSE_PENDING, kWaitHint, 0);
    SetEventIfCreated(&CBrisvelService::m_pauseEvent);
    // Paused is reported without waiting for the loop to notice the pause.
    SetStatus(SERVICE_PAUSED, kWaitHint, 0);
    return 1;
}

BOOL CBrisvelService::OnContinue() {
    SetStatus(SERVICE_CONTINUE_PENDING, kWaitHint, 0);
    SetEventIfCreated(&CBrisvelService::m_continueEvent);
    SetStatus(SERVICE_RUNNING, kWaitHint, 0);
    return 1;
}

BOOL CBrisvelService::OnShutdown() {
    StopRestarts();
    SetEventIfCreated(&CBrisvelService::m_stopEvent);
    return 1;
}
