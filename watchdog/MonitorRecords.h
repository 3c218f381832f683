// The liveness monitor's event records: what it restarted, why it cannot,
// and what it did about a hang, each under the source and user the service
// gave it, paced to at most one of a kind a minute (the rest counted, and
// told when the minute ends or the watchdog stops).
#pragma once

#include <windows.h>

#include "HangRecords.h"
#include "RestartLoop.h"
#include "RestartRecords.h"

// The event source and user SID of the monitor's records, set before the
// monitor starts and only read afterwards. Plain arrays, not owners: nothing
// may be freed at process exit while the monitor thread could still be
// writing.
struct CRecordSource {
    char name[257];
    BYTE user[SECURITY_MAX_SID_SIZE];
    bool hasUser;
};

// The starts of one restart, and how many of them the pacing has counted.
struct CRestartTally {
    CSectionSeen seen; // at the check that led to the restart
    DWORD counted;
    class CMonitorRecords* records;
};

class CMonitorRecords {
public:
    // `source` must outlive the object; an empty name writes no records.
    explicit CMonitorRecords(const CRecordSource& source);

    CMonitorRecords(const CMonitorRecords&) = delete;
    CMonitorRecords& operator=(const CMonitorRecords&) = delete;

    // The monitor's RestartGoesOn (`context` a CRestartTally): counts the
    // starts of a restart that has gone on 10 s as they come, and writes the
    // record the pacing says is due.
    static void RestartGoesOn(DWORD starts, DWORD sinceFirstStartMs, LPVOID context);

    // Records what a call of EnsureMonitoredRunning did after a check that
    // found the section as `tally.seen`: every accepted start counts, also
    // those of a restart that ends in a refusal; a refusal for good gives
    // one warning until a start is accepted again.
    void Restart(const CRestartTally& tally, const CRestartOutcome& outcome);

    // A hang restart begins (`facts.end` not yet known): counted, and its
    // warning written at once when one is due. Returns whether it was.
    bool HangBegins(const CHangFacts& facts);
    // It ended: `facts` is kept for a counted record, and when `told` (the
    // warning of its beginning was written), how it ended is written too.
    void HangEnds(const CHangFacts& facts, bool told);

    // One warning: `service` runs in the watchdog's own process.
    void Self(DWORD pid);
    // One warning: hang recovery is off, for want of `function`.
    void NoHangRecovery(const char* function);

    // Writes the counted records that are due.
    void WriteDue();
    // At the watchdog's stop: the counted records of what is not yet told.
    void WritePending();

private:
    void Write(WORD type, LPCSTR text);
    void WriteRestart(DWORD restarts, bool counted);
    void WriteHangs(DWORD hangs, bool counted);
    void WriteGiveUp(DWORD refusal);
    // The records of what the pacing hands over through `take` (Take or
    // Flush), restarts first.
    void WriteTaken(uint32_t (CRecordPacing::*take)(uint32_t, bool&));

    const CRecordSource& m_source;
    CRecordPacing m_restartPacing;
    CRestartFacts m_lastRestart;
    // Set by the warning that the service cannot be started, cleared by the
    // next accepted start: one warning, however long the refusals go on.
    bool m_warned;
    CRecordPacing m_hangPacing;
    CHangFacts m_lastHang;
};
