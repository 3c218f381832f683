// The liveness monitor: a thread that checks once a second whether the
// monitored software publishes "1" in its section "Ondrimar_LiveCheck", and
// when it does not, starts the service "Ondrimar" if that is not running.
// Between checks it also waits for the service manager's notice that
// "Ondrimar" stopped, where Windows gives one (Vista and later), and runs
// the same check at once when it comes. Where the administrator set it, it
// also restarts an Ondrimar that runs but is hung.
//
// Its parts: the check (SectionCheck.h), the restart (RestartLoop.h), the
// stop notice (StopNotice.h), the records (MonitorRecords.h), hang recovery
// (HangRecovery.h) and the loop (MonitorLoop.h); this file holds the
// thread and what the service's threads tell it.
#pragma once

#include <windows.h>

#include "HangSettings.h"
#include "RestartLoop.h"
#include "SectionCheck.h"

// Names the event source the monitor's records go under (cut to 256
// characters) and the user SID they carry (null or invalid: none); both are
// copied. Call before StartMonitor: the monitor thread reads them without a
// lock. Until it is called, or with an empty source, the monitor writes no
// records.
void SetMonitorRecordSource(LPCSTR source, PSID user);

// The hang-recovery settings the monitor uses; the defaults (off) until
// this is called. Call before StartMonitor.
void SetMonitorHangSettings(const CHangSettings& settings);

// Thread procedure: creates the monitor thread unless a handle to one is
// already held, and keeps its handle. Returns 0.
DWORD WINAPI StartMonitor(LPVOID param);

// Thread procedure: closes the held monitor thread handle, if any. The
// monitor thread itself runs on until the process ends. Returns 0.
DWORD WINAPI ReleaseMonitor(LPVOID param);

// From this call on, for the rest of the process, the monitor starts
// nothing, and stops nothing; it goes on checking. Called when a stop or a
// shutdown is requested: the watchdog installed as "Ondrimar" would
// otherwise start itself again between its stopped report and the end of
// its process. Wakes the monitor, which then closes its notice and writes
// the records not yet told (see AwaitRestartsStopped). Does not wait.
void StopRestarts();

// Waits up to `timeoutMs` for the monitor thread to take in StopRestarts:
// no notice can come any more and the records not yet told are written.
// Returns true when it has, or when no monitor thread has started; false
// when the time ran out (the monitor is still inside a call to the service
// manager, and its last record may be lost).
bool AwaitRestartsStopped(DWORD timeoutMs);

// The monitor thread handle StartMonitor keeps, or null.
HANDLE MonitorThreadHandle();
