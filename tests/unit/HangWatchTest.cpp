// Whether a running Ondrimar counts as hung: each row a configuration and
// the checks a monitor makes, in order, each with what it must answer.
#include "HangWatch.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const uint32_t kNone = 0xFFFFFFFFu; // no deadline ahead
const uint32_t kRunning = 1, kNotRunning = 0;

struct Step {
    char op; // 'A' flag "1" with beat `a`: alive?  'N' flag not "1"
             // 'S' service running `a` in process `b`: reason
             // 'D' ms to the next deadline   'F' hung for, reason `a`   'R' reset
    uint32_t now;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t expected = 0;
};

struct Row {
    const char* label;
    uint32_t unhealthyMs;
    uint32_t heartbeatMs;
    std::vector<Step> steps;
};

const uint32_t kWrap = 0xFFFFF000u; // 4096 ms before the tick counter wraps

// A row of steps to a line or two reads as a table.
// clang-format off
const Row kRows[] = {
    {"UnhealthyAfterItsTimeInOneProcess", 5000, 0,
     {{'N', 0}, {'S', 0, kRunning, 10, NotHung}, {'D', 0, 0, 0, 5000}, {'N', 4999},
      {'S', 4999, kRunning, 10, NotHung}, {'D', 4999, 0, 0, 1}, {'N', 5000},
      {'S', 5000, kRunning, 10, HungUnhealthy}, {'F', 5000, HungUnhealthy, 0, 5000}}},
    {"AOneStartsTheUnhealthyTimeAnew", 5000, 0,
     {{'S', 0, kRunning, 10, NotHung}, {'A', 3000, 0, 0, 1}, {'N', 4000},
      {'S', 4000, kRunning, 10, NotHung}, {'S', 8999, kRunning, 10, NotHung},
      {'S', 9000, kRunning, 10, HungUnhealthy}}},
    {"ANewProcessStartsItAnew", 5000, 0,
     {{'S', 0, kRunning, 10, NotHung}, {'S', 4000, kRunning, 11, NotHung},
      {'S', 8999, kRunning, 11, NotHung}, {'S', 9000, kRunning, 11, HungUnhealthy}}},
    {"NotRunningStartsItAnew", 5000, 0,
     {{'S', 0, kRunning, 10, NotHung}, {'S', 3000, kNotRunning, 0, NotHung},
      {'D', 3000, 0, 0, kNone}, {'S', 4000, kRunning, 10, NotHung},
      {'S', 8999, kRunning, 10, NotHung}, {'S', 9000, kRunning, 10, HungUnhealthy}}},
    {"UnhealthyOffNeverHung", 0, 0,
     {{'S', 0, kRunning, 10, NotHung}, {'S', 100000, kRunning, 10, NotHung},
      {'D', 100000, 0, 0, kNone}}},
    {"TicksThatWrapAround", 5000, 0,
     {{'S', kWrap, kRunning, 10, NotHung}, {'S', kWrap + 4999, kRunning, 10, NotHung},
      {'S', kWrap + 5000, kRunning, 10, HungUnhealthy}}},
    {"ResetStartsItAnew", 5000, 0,
     {{'S', 0, kRunning, 10, NotHung}, {'R', 4000}, {'S', 6000, kRunning, 10, NotHung},
      {'S', 10999, kRunning, 10, NotHung}, {'S', 11000, kRunning, 10, HungUnhealthy}}},
    {"HeartbeatNeverMoved", 0, 5000,
     {{'A', 0, 7, 0, 1}, {'D', 0, 0, 0, 5000}, {'A', 4999, 7, 0, 1}, {'A', 5000, 7, 0, 0},
      {'S', 5000, kRunning, 10, HungHeartbeatNeverMoved},
      {'F', 5000, HungHeartbeatNeverMoved, 0, 5000}}},
    {"HeartbeatStoppedAfterMoving", 0, 5000,
     {{'A', 0, 7, 0, 1}, {'A', 3000, 8, 0, 1}, {'D', 3000, 0, 0, 5000}, {'A', 7999, 8, 0, 1},
      {'A', 8000, 8, 0, 0}, {'S', 8000, kRunning, 10, HungHeartbeatStopped},
      {'F', 8000, HungHeartbeatStopped, 0, 5000}}},
    {"BeatsEveryTwoSecondsNeverHung", 0, 5000,
     {{'A', 0, 1, 0, 1}, {'A', 2000, 2, 0, 1}, {'A', 4000, 3, 0, 1}, {'A', 6000, 4, 0, 1},
      {'A', 8000, 5, 0, 1}, {'A', 10000, 6, 0, 1}, {'A', 12000, 7, 0, 1}}},
    {"ACounterThatWrapsMoves", 0, 5000,
     {{'A', 0, 0xFFFFFFFFu, 0, 1}, {'A', 3000, 0, 0, 1}, {'A', 7999, 0, 0, 1},
      {'A', 8000, 0, 0, 0}}},
    {"NotAliveEndsTheHeartbeatsTime", 0, 5000,
     {{'A', 0, 7, 0, 1}, {'N', 3000}, {'D', 3000, 0, 0, kNone}, {'A', 4000, 7, 0, 1},
      {'A', 8999, 7, 0, 1}, {'A', 9000, 7, 0, 0}}},
    {"HeartbeatOffIgnoresTheCounter", 5000, 0,
     {{'A', 0, 7, 0, 1}, {'A', 100000, 7, 0, 1}, {'D', 100000, 0, 0, kNone}}},
    {"StaleHeartbeatNotRunningWaitsAsUsual", 0, 5000,
     {{'A', 0, 7, 0, 1}, {'A', 5000, 7, 0, 0}, {'S', 5000, kNotRunning, 0, NotHung},
      {'D', 5000, 0, 0, kNone}, {'A', 6000, 7, 0, 0}}},
    {"TheNearerDeadline", 9000, 5000,
     {{'N', 0}, {'S', 0, kRunning, 10, NotHung}, {'D', 1000, 0, 0, 8000}, {'A', 2000, 7, 0, 1},
      {'D', 2000, 0, 0, 5000}, {'N', 3000}, {'S', 3000, kRunning, 10, NotHung},
      {'D', 3000, 0, 0, 9000}}},
    {"AResetHeartbeatStartsAtTheNextOne", 0, 5000,
     {{'A', 0, 7, 0, 1}, {'R', 4000}, {'A', 6000, 7, 0, 1}, {'A', 10999, 7, 0, 1},
      {'A', 11000, 7, 0, 0}, {'S', 11000, kRunning, 10, HungHeartbeatNeverMoved}}},
};
// clang-format on

TEST(CHangWatch, HungOnlyAfterItsTime) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.label);
        CHangWatch watch(row.unhealthyMs, row.heartbeatMs);
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const Step& step = row.steps[i];
            SCOPED_TRACE(testing::Message()
                         << "step " << i << " '" << step.op << "' at " << step.now);
            switch (step.op) {
            case 'A':
                EXPECT_EQ(step.expected != 0, watch.SawAlive(step.now, step.a));
                break;
            case 'N':
                watch.SawNotAlive();
                break;
            case 'S':
                EXPECT_EQ(step.expected, static_cast<uint32_t>(watch.SawService(
                                             step.now, step.a == kRunning, step.b)));
                break;
            case 'D':
                EXPECT_EQ(step.expected, watch.MsToDeadline(step.now));
                break;
            case 'F':
                EXPECT_EQ(step.expected,
                          watch.HungForMs(static_cast<EHangReason>(step.a), step.now));
                break;
            case 'R':
                watch.Reset();
                break;
            default:
                FAIL() << "no such step";
            }
        }
    }
}

} // namespace
