// What the liveness monitor writes to the event log about its restarts: the
// texts of its records and how often they may come, kept apart from the
// system calls that find the facts and write the records.
#pragma once

#include <stddef.h>
#include <stdint.h>

// How many bytes of the section's text a record shows at most. The check
// that leads to a restart keeps one byte more, to tell whether the text goes
// on past them.
const size_t kSectionShown = 16;

// What the section held at the check that led to a restart.
enum ESectionState {
    SectionMissing,    // no section of that name
    SectionUnreadable, // there, but it could not be opened, mapped or read
    SectionHeld,       // read: `bytes` holds its first `size` bytes
};

struct CSectionSeen {
    ESectionState state;
    size_t size; // bytes read into `bytes`, at most its size
    char bytes[kSectionShown + 1];
};

// How a restart ended: the service reported running; the watchdog was told
// to stop first; or a later start was refused for good. RestartGoingOn: it
// has not ended, the service has not reached running yet and the watchdog
// goes on starting it.
enum ERestartEnd { RestartRan, RestartStopped, RestartRefused, RestartGoingOn };

// One restart: one or more starts accepted while the service was not
// running, and how it ended; when it ran, `tookMs` milliseconds after the
// last start request.
struct CRestartFacts {
    CSectionSeen seen;
    ERestartEnd end;
    uint32_t tookMs;
};

// Why restarting cannot succeed, as the service manager refused a start.
enum EGiveUpReason { ServiceDisabled, ServiceMarkedForDelete, ServiceGone };

// Writes the text of the first `count` bytes of `bytes`, up to the first
// NUL, into `out` (`size` bytes, NUL included; a longer result is cut at
// `size` - 1, nothing is written when `size` is 0), in printable ASCII only,
// so that no byte of it can start a line, move the layout or end a quoted
// text: \\, \", \r, \n, \t, and \xNN for every other byte outside
// 0x20..0x7E and for '%' (Event Viewer reads "%%N" in a record's text as a
// reference to another message). At most kSectionShown bytes are shown;
// `cut` tells whether the text goes on past them, or may do so: no NUL ends
// it within `count`. Returns the length written.
size_t ShowSectionText(char* out, size_t size, const char* bytes, size_t count, bool& cut);

// The information record of `starts` (at least 1) starts of `service`
// (whose section is `section`) into `out` (`size` bytes, cut to fit,
// NUL-terminated when `size` is nonzero); `last` is the restart with the
// latest of them. With `counted` false they are one restart, told at once;
// with `counted` true they are the starts since the previous record.
// Returns the length written.
size_t FormatRestartRecord(char* out, size_t size, const char* service, const char* section,
                           const CRestartFacts& last, uint32_t starts, bool counted);

// The warning record that the watchdog cannot start `service`, and why,
// into `out` as above. Returns the length written.
size_t FormatGiveUpRecord(char* out, size_t size, const char* service, EGiveUpReason reason);

// Paces the restart records to one per period (a minute in the monitor).
// The first restart after a quiet period is recorded at once; starts in the
// period after a record are counted, and when it ends one record gives
// their number and opens the next period. Times are millisecond ticks that
// wrap around (GetTickCount): differences are taken modulo 2^32, which is
// sound as long as Take is called more often than every 49 days.
class CRecordPacing {
public:
    explicit CRecordPacing(uint32_t periodMs);

    // Counts a restart of `starts` starts, ended at `now`.
    void Count(uint32_t now, uint32_t starts);

    // When a record is due at `now`, returns the number of starts it covers
    // (at least 1) and sets `counted`: false when they are the one restart
    // that came after a quiet period, true when they were held back by an
    // earlier record. The caller writes that record (whether or not the event log
    // takes it) and the next period begins. Returns 0, leaving `counted`
    // alone, when none is due. Called about once a second, so that a record
    // ends its period on time.
    uint32_t Take(uint32_t now, bool& counted);

    // As Take, but whether or not the period runs: the starts not yet in a
    // record (0, leaving everything alone, when there are none). For the
    // watchdog's stop, after which no record would tell them.
    uint32_t Flush(uint32_t now, bool& counted);

private:
    // Hands the pending starts (at least 1) to a record written at `now`.
    uint32_t TakePending(uint32_t now, bool& counted);

    uint32_t m_periodMs;
    bool m_recorded; // a record was written at m_lastRecord and its period runs
    uint32_t m_lastRecord;
    uint32_t m_pending; // starts not yet in a record
    bool m_counted;     // they came within a period
};
