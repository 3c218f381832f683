#include "HangWatch.h"

namespace {

const uint32_t kNoDeadline = 0xFFFFFFFFu;

// Milliseconds from `now` to `since` + `limit`; 0 when that has passed.
uint32_t Left(uint32_t now, uint32_t since, uint32_t limit) {
    uint32_t elapsed = now - since;
    return elapsed >= limit ? 0 : limit - elapsed;
}

} // namespace

CHangWatch::CHangWatch(uint32_t unhealthyMs, uint32_t heartbeatMs)
    : m_unhealthyMs(unhealthyMs), m_heartbeatMs(heartbeatMs), m_unhealthyRuns(false),
      m_unhealthySince(0), m_unhealthyPid(0), m_beatRuns(false), m_beatSince(0), m_lastMove(0),
      m_lastBeat(0), m_moved(false) {}

bool CHangWatch::SawAlive(uint32_t now, uint32_t beat) {
    m_unhealthyRuns = false;
    if (m_heartbeatMs == 0)
        return true;
    if (!m_beatRuns) {
        m_beatRuns = true;
        m_beatSince = m_lastMove = now;
        m_lastBeat = beat;
        m_moved = false;
        return true;
    }
    if (beat != m_lastBeat) {
        m_lastBeat = beat;
        m_lastMove = now;
        m_moved = true;
        return true;
    }
    return Left(now, m_lastMove, m_heartbeatMs) != 0;
}

void CHangWatch::SawNotAlive() {
    m_beatRuns = false;
}

EHangReason CHangWatch::SawService(uint32_t now, bool running, uint32_t pid) {
    if (!running) {
        m_unhealthyRuns = false;
        return NotHung;
    }
    // Only a check whose flag said "1" gets here with the heartbeat's time
    // running: its heartbeat has stopped.
    if (m_beatRuns && m_heartbeatMs != 0 && Left(now, m_lastMove, m_heartbeatMs) == 0)
        return m_moved ? HungHeartbeatStopped : HungHeartbeatNeverMoved;
    if (m_unhealthyMs == 0 || m_beatRuns)
        return NotHung;
    if (!m_unhealthyRuns || pid != m_unhealthyPid) {
        m_unhealthyRuns = true;
        m_unhealthySince = now;
        m_unhealthyPid = pid;
    }
    return Left(now, m_unhealthySince, m_unhealthyMs) == 0 ? HungUnhealthy : NotHung;
}

uint32_t CHangWatch::HungForMs(EHangReason reason, uint32_t now) const {
    switch (reason) {
    case HungUnhealthy:
        return now - m_unhealthySince;
    case HungHeartbeatStopped:
        return now - m_lastMove;
    case HungHeartbeatNeverMoved:
        return now - m_beatSince;
    case NotHung:
        break;
    }
    return 0;
}

uint32_t CHangWatch::MsToDeadline(uint32_t now) const {
    // A limit already reached is not waited for: the check that found it
    // has acted, or could not (the service is not running), and the next
    // one comes at the usual time.
    uint32_t left = kNoDeadline;
    uint32_t unhealthy = Left(now, m_unhealthySince, m_unhealthyMs);
    if (m_unhealthyRuns && unhealthy != 0)
        left = unhealthy;
    uint32_t beat = Left(now, m_lastMove, m_heartbeatMs);
    if (m_beatRuns && beat != 0 && beat < left)
        left = beat;
    return left;
}

void CHangWatch::Reset() {
    m_unhealthyRuns = false;
    m_beatRuns = false;
}
