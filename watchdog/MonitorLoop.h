// The monitor thread's loop, and everything it is given when it starts.
#pragma once

#include <windows.h>

#include "HangSettings.h"
#include "MonitorControl.h"
#include "MonitorRecords.h"

// What the monitor is given: set before its thread starts, then only read
// by it (but `control`, which the service's threads use too). Lives for the
// whole process.
struct CMonitorConfig {
    // No records, and hang recovery off.
    CMonitorConfig() : source(), hang(DefaultHangSettings()) {}

    CRecordSource source;
    CHangSettings hang;
    CMonitorControl control;
};

// The monitor thread, `config` a CMonitorConfig: a check, a restart when
// the check fails, hang recovery when it is set, and a wait of 1000 ms (or
// until a hang timer's limit) that a notice that "Ondrimar" stopped cuts
// short, for ever.
DWORD WINAPI MonitorLoop(LPVOID config);
