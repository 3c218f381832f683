// The liveness monitor: a thread that checks once a second whether the
// monitored software publishes "1" in its section "Ondrimar_LiveCheck", and
// when it does not, starts the service "Ondrimar" if that is not running.
//
// The monitor uses only system calls and reads nothing of the service
// object. Every handle, view and status record it uses is local to one call.
#pragma once

#include <windows.h>

// Thread procedure: creates the monitor thread unless a handle to one is
// already held, and keeps its handle. Returns 0.
DWORD WINAPI StartMonitor(LPVOID param);

// Thread procedure: closes the held monitor thread handle, if any. The
// monitor thread itself runs on until the process ends. Returns 0.
DWORD WINAPI ReleaseMonitor(LPVOID param);

// The monitor thread: a check, a restart when the check fails, a 1000 ms
// sleep, for ever.
DWORD WINAPI MonitorLoop(LPVOID param);

// True when the section exists, can be mapped with full access, and holds
// the text "1". Keeps no handle or view.
bool LiveCheck();

// When the service "Ondrimar" is installed and not running, starts it and
// keeps starting and interrogating it, sleeping its wait hint between
// tries, until it reports running. Every failure before the first accepted
// start ends the attempt until the next check.
void EnsureMonitoredRunning();

// The monitor thread handle StartMonitor keeps, or null.
HANDLE MonitorThreadHandle();

// The lower bound of the sleep between restart tries.
extern const DWORD kMinRetrySleepMs;
