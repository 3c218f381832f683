// The liveness monitor: a thread that checks once a second whether the
// monitored software publishes "1" in its section "Ondrimar_LiveCheck", and
// when it does not, starts the service "Ondrimar" if that is not running.
// Between checks it also waits for the service manager's notice that
// "Ondrimar" stopped, where Windows gives one (Vista and later), and runs
// the same check at once when it comes.
//
// The monitor uses only system calls and reads nothing of the service
// object. The handles, views and status records of a check are local to one
// call; the service handle it holds for the notice, and its two events, are
// owned by the monitor thread, which runs until the process ends.
// It writes a record when it restarts the service (at most one a minute, the
// rest counted, also while one restart goes on), when it cannot start it for
// good (once, until a start is accepted again), and for the starts not yet
// told when the watchdog stops, under the source SetMonitorRecordSource
// names.
#pragma once

#include <windows.h>

#include "RestartRecords.h"

// How a call of EnsureMonitoredRunning ended.
struct CRestartOutcome {
    enum EKind {
        NothingStarted, // running, not to be started, or left to the next check
        Refused,        // the start was refused for good (`refusal`)
        Ran,            // started, and running `tookMs` after the last start request
        GaveUp,         // started, then a retry was refused for good (`refusal`)
        Abandoned,      // started, then restarts were stopped before it ran
    } kind;
    DWORD starts; // accepted start requests
    DWORD tookMs;
    DWORD refusal; // ERROR_SERVICE_DISABLED, _MARKED_FOR_DELETE or _DOES_NOT_EXIST
};

// Names the event source the monitor's records go under (cut to 256
// characters) and the user SID they carry (null or invalid: none); both are
// copied. Call before StartMonitor: the monitor thread reads them without a
// lock. Until it is called, or with an empty source, the monitor writes no
// records.
void SetMonitorRecordSource(LPCSTR source, PSID user);

// Thread procedure: creates the monitor thread unless a handle to one is
// already held, and keeps its handle. Returns 0.
DWORD WINAPI StartMonitor(LPVOID param);

// Thread procedure: closes the held monitor thread handle, if any. The
// monitor thread itself runs on until the process ends. Returns 0.
DWORD WINAPI ReleaseMonitor(LPVOID param);

// The monitor thread: a check, a restart when the check fails, a wait of
// 1000 ms that a notice that "Ondrimar" stopped cuts short, for ever.
DWORD WINAPI MonitorLoop(LPVOID param);

// From this call on, for the rest of the process, the monitor starts
// nothing; it goes on checking. Called when a stop or a shutdown is
// requested: the watchdog installed as "Ondrimar" would otherwise start
// itself again between its stopped report and the end of its process. Wakes
// the monitor, which then closes its notice and writes the record of the
// starts not yet told (see AwaitRestartsStopped). Does not wait.
void StopRestarts();

// Waits up to `timeoutMs` for the monitor thread to take in StopRestarts:
// no notice can come any more and the starts not yet told have their
// record. Returns true when it has, or when no monitor thread has started;
// false when the time ran out (the monitor is still inside a call to the
// service manager, and its last record may be lost).
bool AwaitRestartsStopped(DWORD timeoutMs);

// True when the section exists, can be mapped with full access, and its
// first bytes are committed, readable and hold the text "1". Keeps no
// handle or view.
bool LiveCheck();

// LiveCheck, telling in `seen` what the section held: missing (no section of
// that name), unreadable, or held, with its first two bytes when they say
// "1" and else as many as `seen` keeps.
bool CheckSection(CSectionSeen& seen);

// Told by EnsureMonitoredRunning at each turn of its retry loop: the starts
// accepted so far, and the milliseconds since the first of them.
typedef void (*RestartGoesOn)(DWORD starts, DWORD sinceFirstStartMs, LPVOID context);

// When the service "Ondrimar" is installed and not running, starts it and
// keeps starting and interrogating it, sleeping its wait hint (250 ms to
// 10 s, cut short by StopRestarts) between tries, until it reports running.
// Every failure before the first accepted start ends the attempt until the
// next check, and so does a retry refused because the service is disabled,
// deleted or gone, or a StopRestarts call. Calls `goesOn` (unless null) with
// `context` at each turn of the retry loop. Returns how it ended; writes no
// record itself.
CRestartOutcome EnsureMonitoredRunning(RestartGoesOn goesOn = NULL, LPVOID context = NULL);

// The monitor thread handle StartMonitor keeps, or null.
HANDLE MonitorThreadHandle();
