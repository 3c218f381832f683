#include "MonitorLoop.h"

#include "Handles.h"
#include "HangRecovery.h"
#include "RestartLoop.h"
#include "SectionCheck.h"
#include "StopNotice.h"

namespace {

const DWORD kCheckPeriodMs = 1000;

} // namespace

DWORD WINAPI MonitorLoop(LPVOID param) {
    CMonitorConfig& config = *static_cast<CMonitorConfig*>(param);
    CMonitorControl& control = config.control;
    // Owned by this frame, which is never left; published for the stop, and
    // checked against a stop that came before.
    CHandle wake(CreateEventA(NULL, TRUE, FALSE, NULL));
    CHandle taken(CreateEventA(NULL, TRUE, FALSE, NULL));
    control.wake.store(wake.get());
    control.taken.store(taken.get());
    CMonitorRecords records(config.source);
    CHangRecovery hang(config.hang, control, records);
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
        tally.records = &records;
        DWORD beat = 0;
        bool flagAlive = CheckSection(tally.seen, hang.WantsBeat() ? &beat : NULL);
        bool checkAgain = false;
        if (!hang.Check(flagAlive, beat)) {
            CRestartOutcome outcome =
                EnsureMonitoredRunning(control, CMonitorRecords::RestartGoesOn, &tally);
            records.Restart(tally, outcome);
            notice.Follow(outcome);
            checkAgain = hang.AfterRestart(outcome, tally.seen);
        }
        if (!stopTaken && control.stopped.load()) {
            notice.Close();
            records.WritePending();
            stopTaken = true;
            SetEvent(taken.get());
        }
        // Also while the flag says "1": the restarts counted in the minute
        // after a record are told when that minute ends.
        records.WriteDue();
        if (checkAgain && !stopTaken)
            continue;
        DWORD waitMs = hang.WaitMs(kCheckPeriodMs);
        if (stopTaken || !wake) {
            Sleep(waitMs);
            continue;
        }
        notice.Ask();
        notice.Wait(wake.get(), waitMs);
    }
}
