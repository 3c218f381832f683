#include "MonitorRecords.h"

#include "EventRecord.h"
#include "LiveCheckNames.h"

namespace {

const char kSectionName[] = LIVECHECK_SECTION_NAME;
const char kMonitoredService[] = LIVECHECK_SERVICE_NAME;

// At most one record of a kind a minute.
const DWORD kRecordPeriodMs = 60000;

// A restart that has not reached running this long after its first start
// is told while it goes on. An ordinary restart runs within a second, and
// one that stays start pending sleeps at most 10 s between looks: past that,
// a service that dies during every start would otherwise go unrecorded for
// as long as it does.
const DWORD kLongRestartMs = 10000;

} // namespace

CMonitorRecords::CMonitorRecords(const CRecordSource& source)
    : m_source(source), m_restartPacing(kRecordPeriodMs), m_lastRestart(), m_warned(false),
      m_hangPacing(kRecordPeriodMs), m_lastHang() {}

// A record that cannot be written changes nothing: the monitor goes on as
// if it had been.
void CMonitorRecords::Write(WORD type, LPCSTR text) {
    if (m_source.name[0] != '\0')
        WriteEventRecord(m_source.name, m_source.hasUser ? const_cast<BYTE*>(m_source.user) : NULL,
                         type, DefaultEventId(type), text);
}

// The record of `restarts` starts (none when 0), the latest of them
// m_lastRestart, as the pacing handed them over.
void CMonitorRecords::WriteRestart(DWORD restarts, bool counted) {
    if (restarts == 0)
        return;
    char text[512];
    FormatRestartRecord(text, sizeof text, kMonitoredService, kSectionName, m_lastRestart, restarts,
                        counted);
    Write(EVENTLOG_INFORMATION_TYPE, text);
}

void CMonitorRecords::WriteHangs(DWORD hangs, bool counted) {
    if (hangs == 0)
        return;
    char text[512];
    FormatHangRecord(text, sizeof text, kMonitoredService, kSectionName, m_lastHang, hangs,
                     counted);
    Write(EVENTLOG_WARNING_TYPE, text);
}

void CMonitorRecords::WriteGiveUp(DWORD refusal) {
    if (m_warned)
        return;
    m_warned = true;
    EGiveUpReason reason = refusal == ERROR_SERVICE_DISABLED            ? ServiceDisabled
                           : refusal == ERROR_SERVICE_MARKED_FOR_DELETE ? ServiceMarkedForDelete
                                                                        : ServiceGone;
    char text[512];
    FormatGiveUpRecord(text, sizeof text, kMonitoredService, reason);
    Write(EVENTLOG_WARNING_TYPE, text);
}

void CMonitorRecords::WriteDue() {
    WriteTaken(&CRecordPacing::Take);
}

void CMonitorRecords::WritePending() {
    WriteTaken(&CRecordPacing::Flush);
}

void CMonitorRecords::WriteTaken(uint32_t (CRecordPacing::*take)(uint32_t, bool&)) {
    // Each count taken before its record is written: `counted` is set by
    // the call that hands the count over.
    bool counted = false;
    DWORD restarts = (m_restartPacing.*take)(GetTickCount(), counted);
    WriteRestart(restarts, counted);
    counted = false;
    DWORD hangs = (m_hangPacing.*take)(GetTickCount(), counted);
    WriteHangs(hangs, counted);
}

void CMonitorRecords::RestartGoesOn(DWORD starts, DWORD sinceFirstStartMs, LPVOID context) {
    CRestartTally& tally = *static_cast<CRestartTally*>(context);
    CMonitorRecords& self = *tally.records;
    if (sinceFirstStartMs < kLongRestartMs)
        return;
    if (starts > tally.counted) {
        self.m_warned = false;
        self.m_lastRestart.seen = tally.seen;
        self.m_lastRestart.end = RestartGoingOn;
        self.m_lastRestart.tookMs = 0;
        self.m_restartPacing.Count(GetTickCount(), starts - tally.counted);
        tally.counted = starts;
    }
    self.WriteDue();
}

void CMonitorRecords::Restart(const CRestartTally& tally, const CRestartOutcome& outcome) {
    if (outcome.starts != 0) {
        m_warned = false;
        m_lastRestart.seen = tally.seen;
        m_lastRestart.end = outcome.kind == CRestartOutcome::Ran      ? RestartRan
                            : outcome.kind == CRestartOutcome::GaveUp ? RestartRefused
                                                                      : RestartStopped;
        m_lastRestart.tookMs = outcome.tookMs;
        if (outcome.starts > tally.counted)
            m_restartPacing.Count(GetTickCount(), outcome.starts - tally.counted);
        WriteDue(); // before a warning that follows from it
    }
    if (outcome.kind == CRestartOutcome::Refused || outcome.kind == CRestartOutcome::GaveUp)
        WriteGiveUp(outcome.refusal);
}

bool CMonitorRecords::HangBegins(const CHangFacts& facts) {
    // The hangs counted before this one are told first, under their own
    // last facts; this one then opens a period of its own or is counted.
    WriteDue();
    m_hangPacing.Count(GetTickCount(), 1);
    bool counted = false;
    if (m_hangPacing.Take(GetTickCount(), counted) == 0)
        return false;
    char text[512];
    FormatHangRecord(text, sizeof text, kMonitoredService, kSectionName, facts, 1, false);
    Write(EVENTLOG_WARNING_TYPE, text);
    return true;
}

void CMonitorRecords::HangEnds(const CHangFacts& facts, bool told) {
    m_lastHang = facts;
    char text[512];
    if (told && FormatHangEndRecord(text, sizeof text, kMonitoredService, facts) != 0)
        Write(EVENTLOG_WARNING_TYPE, text);
}

void CMonitorRecords::Self(DWORD pid) {
    char text[512];
    FormatSelfRecord(text, sizeof text, kMonitoredService, pid);
    Write(EVENTLOG_WARNING_TYPE, text);
}

void CMonitorRecords::NoHangRecovery(const char* function) {
    char text[512];
    FormatNoHangRecoveryRecord(text, sizeof text, kMonitoredService, function);
    Write(EVENTLOG_WARNING_TYPE, text);
}
