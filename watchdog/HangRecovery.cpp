#include "HangRecovery.h"

CHangRecovery::CHangRecovery(const CHangSettings& settings, const CMonitorControl& control,
                             CMonitorRecords& records)
    : m_settings(settings), m_on(settings.On()), m_query(m_on ? LookUpQueryStatusEx() : NULL),
      m_control(control), m_records(records),
      m_watch(settings.unhealthySeconds * 1000, settings.heartbeatSeconds * 1000),
      m_restarter(m_query, settings.stopSeconds, control), m_selfTold(false) {
    if (m_on && m_query == NULL) {
        m_on = false;
        m_records.NoHangRecovery("QueryServiceStatusEx");
    }
}

bool CHangRecovery::Check(bool flagAlive, DWORD beat) {
    if (!m_on)
        return flagAlive;
    if (flagAlive)
        return m_watch.SawAlive(GetTickCount(), beat);
    m_watch.SawNotAlive();
    return false;
}

bool CHangRecovery::AfterRestart(const CRestartOutcome& outcome, const CSectionSeen& seen) {
    // Once the watchdog is told to stop, it stops nothing more, as it starts
    // nothing more.
    if (!m_on || m_control.stopped.load())
        return false;
    if (outcome.starts != 0) {
        m_watch.Reset(); // a new process: its timers start anew
        return false;
    }
    // Running, in a process of its own id. Windows reports no running
    // service without one; Wine's service manager, which does not notice a
    // process that was ended from outside, goes on reporting the service
    // running, and once a second stop request has come, with process id 0:
    // nothing the watchdog could act on.
    SERVICE_STATUS_PROCESS status = {};
    bool running = outcome.kind == CRestartOutcome::FoundRunning &&
                   QueryMonitored(m_query, status) && status.dwCurrentState == SERVICE_RUNNING &&
                   status.dwProcessId != 0;
    DWORD now = GetTickCount();
    EHangReason reason = m_watch.SawService(now, running, running ? status.dwProcessId : 0);
    if (reason == NotHung)
        return false;

    CHangFacts facts = {};
    facts.reason = reason;
    facts.pid = status.dwProcessId;
    facts.hungForMs = m_watch.HungForMs(reason, now);
    facts.limitSeconds =
        reason == HungUnhealthy ? m_settings.unhealthySeconds : m_settings.heartbeatSeconds;
    facts.seen = seen;
    m_watch.Reset();
    // In set-up B the watchdog is Ondrimar: it never stops or ends itself.
    if (facts.pid == GetCurrentProcessId()) {
        if (!m_selfTold)
            m_records.Self(facts.pid);
        m_selfTold = true;
        return false;
    }
    if (m_restarter.Spared(facts.pid))
        return false;
    bool told = m_records.HangBegins(facts);
    m_restarter.Restart(facts);
    m_records.HangEnds(facts, told);
    return facts.end == HangStopped || facts.end == HangEnded;
}

DWORD CHangRecovery::WaitMs(DWORD periodMs) const {
    if (!m_on)
        return periodMs;
    DWORD left = m_watch.MsToDeadline(GetTickCount());
    return left < periodMs ? left : periodMs;
}
