#include <windows.h>

#include <gtest/gtest.h>

#include "Fixture.h"

#include <ostream>
#include <string>

#include "StatusRecord.h"

namespace {

struct CFillCase {
    const char* name;
    DWORD state;
    DWORD exitCode;
    DWORD counterBefore;
    DWORD accepts;
    DWORD win32ExitCode;
    DWORD checkPoint;
    DWORD counterAfter;
};

void PrintTo(const CFillCase& row, std::ostream* out) {
    *out << row.name;
}

class FillStatusRecordTest : public ::testing::TestWithParam<CFillCase> {};

TEST_P(FillStatusRecordTest, FillsEveryFieldButTheServiceType) {
    const CFillCase& c = GetParam();
    // Left over from an earlier report, so every field must be written.
    SERVICE_STATUS status = {0x10, 99, 99, 99, 99, 99, 99};
    DWORD counter = c.counterBefore;

    FillStatusRecord(status, counter, c.state, 1234, c.exitCode, 7);

    EXPECT_EQ(0x10u, status.dwServiceType);
    EXPECT_EQ(c.state, status.dwCurrentState);
    EXPECT_EQ(c.accepts, status.dwControlsAccepted);
    EXPECT_EQ(c.win32ExitCode, status.dwWin32ExitCode);
    EXPECT_EQ(c.exitCode, status.dwServiceSpecificExitCode);
    EXPECT_EQ(c.checkPoint, status.dwCheckPoint);
    EXPECT_EQ(1234u, status.dwWaitHint);
    EXPECT_EQ(c.counterAfter, counter);
}

INSTANTIATE_TEST_SUITE_P(
    States, FillStatusRecordTest,
    ::testing::Values(
        CFillCase{"StartPendingAcceptsNothing", SERVICE_START_PENDING, 0, 0, 0, 0, 1, 1},
        CFillCase{"RunningHasNoCheckPoint", SERVICE_RUNNING, 0, 4, 7, 0, 0, 4},
        CFillCase{"StoppedHasNoCheckPoint", SERVICE_STOPPED, 0, 4, 7, 0, 0, 4},
        CFillCase{"StopPendingAdvances", SERVICE_STOP_PENDING, 0, 5, 7, 0, 6, 6},
        CFillCase{"PausePendingAdvances", SERVICE_PAUSE_PENDING, 0, 2, 7, 0, 3, 3},
        CFillCase{"ContinuePendingAdvances", SERVICE_CONTINUE_PENDING, 0, 3, 7, 0, 4, 4},
        CFillCase{"PausedAdvances", SERVICE_PAUSED, 0, 8, 7, 0, 9, 9},
        CFillCase{"ExitCodeIsServiceSpecific", SERVICE_STOPPED, 42, 0, 7, 1066, 0, 0},
        CFillCase{"ExitCodeWhilePending", SERVICE_STOP_PENDING, 3, 0, 7, 1066, 1, 1}),
    CRowName());

} // namespace
