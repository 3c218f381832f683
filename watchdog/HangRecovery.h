// Hang recovery in the monitor's loop: what each check tells the hang
// timers, and the hang restart when one says so. Off (and then it changes
// nothing the monitor does) unless the administrator set UnhealthySeconds
// or HeartbeatSeconds, and where Windows has QueryServiceStatusEx.
#pragma once

#include <windows.h>

#include "HangRestart.h"
#include "HangSettings.h"
#include "HangWatch.h"
#include "MonitorRecords.h"

class CHangRecovery {
public:
    // Looks up QueryServiceStatusEx when `settings` turn recovery on, and
    // writes one warning through `records` when it is missing. `control`
    // and `records` must outlive the object.
    CHangRecovery(const CHangSettings& settings, const CMonitorControl& control,
                  CMonitorRecords& records);

    CHangRecovery(const CHangRecovery&) = delete;
    CHangRecovery& operator=(const CHangRecovery&) = delete;

    // Whether a check must read the heartbeat counter.
    bool WantsBeat() const { return m_on && m_settings.heartbeatSeconds != 0; }

    // A check found the flag saying "1" (`flagAlive`, with the heartbeat
    // `beat`) or not. Returns whether it counts as alive: not once the
    // heartbeat has stood still for HeartbeatSeconds.
    bool Check(bool flagAlive, DWORD beat);

    // After a check that did not count as alive, and the restart it led to
    // (`outcome`; the section as `seen`): times a running Ondrimar, and
    // when it counts as hung, restarts it (see CHangRestarter). Returns true
    // when it stopped Ondrimar, so that the next check, which starts it
    // again, comes at once.
    bool AfterRestart(const CRestartOutcome& outcome, const CSectionSeen& seen);

    // How long the monitor may wait for its next check: `periodMs`, or less
    // when a hang timer reaches its limit sooner.
    DWORD WaitMs(DWORD periodMs) const;

private:
    CHangSettings m_settings;
    bool m_on;
    QueryStatusExFunction m_query;
    const CMonitorControl& m_control;
    CMonitorRecords& m_records;
    CHangWatch m_watch;
    CHangRestarter m_restarter;
    bool m_selfTold; // the record that Ondrimar is the watchdog itself was written
};
