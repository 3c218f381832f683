// Whether a running Ondrimar is hung, decided over millisecond ticks from
// what the monitor's checks saw: the pure half of hang recovery, kept apart
// from the calls that find the facts and act on them.
//
// Two timers, each off at 0:
//  - unhealthy: the service has run in one process, without a break, and
//    no check has found the flag saying "1", for `unhealthyMs`;
//  - heartbeat: the flag says "1" but its heartbeat counter has not moved
//    for `heartbeatMs`, counted from the check that first found "1" (the
//    publisher's readiness) or from the last move.
// Ticks wrap around (GetTickCount); differences are taken modulo 2^32, sound
// while the checks come more often than every 49 days.
#pragma once

#include <stdint.h>

enum EHangReason {
    NotHung,
    HungUnhealthy,           // running, and the flag not "1" for unhealthyMs
    HungHeartbeatStopped,    // "1", and the heartbeat moved once, then stopped
    HungHeartbeatNeverMoved, // "1", and the heartbeat never moved
};

class CHangWatch {
public:
    CHangWatch(uint32_t unhealthyMs, uint32_t heartbeatMs);

    // A check at `now` found the flag saying "1", with the heartbeat counter
    // `beat` (not looked at while the heartbeat timer is off). Stops the
    // unhealthy timer. Returns whether the flag counts as alive: false once
    // the heartbeat has not moved for heartbeatMs.
    bool SawAlive(uint32_t now, uint32_t beat);

    // A check found the flag not saying "1" (or no flag): the heartbeat's
    // time ends, and starts again at the next "1".
    void SawNotAlive();

    // After a check that did not count as alive: the service ran at `now`
    // (in process `pid`) or did not. Returns why it counts as hung, or
    // NotHung. A service that is not running, or runs in another process
    // than before, starts the unhealthy timer anew.
    EHangReason SawService(uint32_t now, bool running, uint32_t pid);

    // How long the condition of `reason` has lasted at `now`, in ms.
    uint32_t HungForMs(EHangReason reason, uint32_t now) const;

    // Milliseconds from `now` until a timer that runs reaches its limit, so
    // that the monitor can look again right then; the largest value when
    // none runs, or every one that runs has reached it already.
    uint32_t MsToDeadline(uint32_t now) const;

    // Ondrimar was restarted: both timers start again.
    void Reset();

private:
    uint32_t m_unhealthyMs;
    uint32_t m_heartbeatMs;
    bool m_unhealthyRuns;
    uint32_t m_unhealthySince;
    uint32_t m_unhealthyPid;
    bool m_beatRuns;      // the flag said "1" at every check since m_beatSince
    uint32_t m_beatSince; // the first of those checks
    uint32_t m_lastMove;  // the check that last saw the counter move (or m_beatSince)
    uint32_t m_lastBeat;  // the counter then
    bool m_moved;         // it moved since m_beatSince
};
