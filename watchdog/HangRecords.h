// What the monitor writes to the event log about a hung Ondrimar: the texts
// of its records, kept apart from the system calls that find the facts.
// Each is cut to fit `size` bytes of `out` and NUL-terminated when `size`
// is nonzero, and each returns the length written.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "HangWatch.h"
#include "RestartRecords.h"

// How a hang restart ended, before the restart path starts the service.
enum EHangEnd {
    HangStopped,   // the service stopped when asked, or its process ended
    HangEnded,     // it did not stop in time: its process was ended
    HangEndFailed, // it did not stop in time, and ending its process failed
    HangNotEnded,  // it did not stop in time, and its process hosts other services
    HangLeft,      // the watchdog was told to stop, or the service left that process
};

// One hang restart.
struct CHangFacts {
    EHangReason reason;
    uint32_t pid;
    uint32_t hungForMs;    // how long the hang had lasted when it was acted on
    uint32_t limitSeconds; // UnhealthySeconds or HeartbeatSeconds
    CSectionSeen seen;     // the section at that check
    EHangEnd end;
    uint32_t stopSeconds;
    uint32_t exitCode; // HangEnded: the ended process's exit code
    uint32_t error;    // HangEndFailed: why it could not be ended
};

// The warning that `service` (whose section is `section`) is hung, and that
// the watchdog restarts it: with `counted` false, the restart `facts` as it
// begins; with `counted` true, the `count` hang restarts since the previous
// such record, the latest of them `facts`, ended.
size_t FormatHangRecord(char* out, size_t size, const char* service, const char* section,
                        const CHangFacts& facts, uint32_t count, bool counted);

// The warning of how the restart `facts` ended when the service did not stop
// when asked: its process ended, not ended (another service's too), or
// ending it failed. Nothing (length 0) for the other ends.
size_t FormatHangEndRecord(char* out, size_t size, const char* service, const CHangFacts& facts);

// The warning that `service` runs in the watchdog's own process `pid`: it
// never stops or ends itself.
size_t FormatSelfRecord(char* out, size_t size, const char* service, uint32_t pid);

// The warning that hang recovery is off: `function`, which it needs, is
// missing from this Windows.
size_t FormatNoHangRecoveryRecord(char* out, size_t size, const char* service,
                                  const char* function);
