// The administrator's hang-recovery settings, read from the watchdog's own
// service key when the service starts.
#pragma once

#include <windows.h>

// In seconds. With both timers 0, hang recovery is off and the monitor does
// exactly what it does without it.
struct CHangSettings {
    DWORD unhealthySeconds;
    DWORD heartbeatSeconds;
    DWORD stopSeconds;

    bool On() const { return unhealthySeconds != 0 || heartbeatSeconds != 0; }
};

// The defaults: both timers off, 30 s to stop.
CHangSettings DefaultHangSettings();

// Receives the text of one warning record.
typedef void (*SettingWarning)(LPCSTR text, LPVOID context);

// Reads UnhealthySeconds, HeartbeatSeconds and StopSeconds (REG_DWORD)
// under HKLM\SYSTEM\CurrentControlSet\Services\`serviceName`\Parameters.
// A missing key or value gives the default in silence. Every value that is
// not taken (another type or size, out of range, unreadable), and a key that
// exists but cannot be read, gives one warning to `warn` with `context`,
// saying what is used instead. Opens the key for reading only.
CHangSettings ReadHangSettings(LPCSTR serviceName, SettingWarning warn, LPVOID context);
