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

// From this call on, for the rest of the process, the monitor starts
// nothing; it goes on checking. Called when a stop or a shutdown is
// requested: the watchdog installed as "Ondrimar" would otherwise start
// itself again between its stopped report and the end of its process.
void StopRestarts();

// True when the section exists, can be mapped with full access, and its
// first two bytes are committed, readable and hold the text "1". Keeps no
// handle or view.
bool LiveCheck();

// When the service "Ondrimar" is installed and not running, starts it and
// keeps starting and interrogating it, sleeping its wait hint (250 ms to
// 10 s) between tries, until it reports running. Every failure before the
// first accepted start ends the attempt until the next check, and so does a
// retry refused because the service is disabled, deleted or gone, or a
// StopRestarts call.
void EnsureMonitoredRunning();

// The monitor thread handle StartMonitor keeps, or null.
HANDLE MonitorThreadHandle();
