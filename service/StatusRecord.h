// Filling the service status record, kept apart from reporting it.
#pragma once

#include <windows.h>

// Fills every field of `status` except the service type for a report of
// `state` (one of the SERVICE_* states):
// - accepted controls: none while start pending, since the SCM must not send
//   pause or stop before the service's events exist; `controlsAccepted` in
//   every other state, stop pending and stopped included;
// - Win32 exit code ERROR_SERVICE_SPECIFIC_ERROR with `exitCode` as the
//   service-specific code when `exitCode` is nonzero, else both 0;
// - check point 0 for running and stopped; for the pending states and paused
//   the counter `checkPoint` is advanced first and its new value reported.
//   The counter is never reset, so every pending phase of the object's life
//   shares one rising sequence.
void FillStatusRecord(SERVICE_STATUS& status, DWORD& checkPoint, DWORD state, DWORD waitHint,
                      DWORD exitCode, DWORD controlsAccepted);
