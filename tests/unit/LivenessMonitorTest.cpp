#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "Fixture.h"
#include "LivenessMonitor.h"

namespace {

const char kSection[] = "Ondrimar_LiveCheck";
const char kService[] = "Ondrimar";

// ---------------------------------------------------------------- the flag

struct CFlagCase {
    const char* name;
    std::string bytes; // exactly the bytes the function may read
    bool alive;
};

void PrintTo(const CFlagCase& row, std::ostream* out) {
    *out << row.name;
}

class FlagSaysAliveTest : public ::testing::TestWithParam<CFlagCase> {};

TEST_P(FlagSaysAliveTest, AliveIsOneFollowedByNul) {
    const CFlagCase& c = GetParam();
    // A heap block of exactly the given size, so a read past it shows.
    std::vector<char> bytes(c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(c.alive, FlagSaysAlive(bytes.data(), bytes.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FlagSaysAliveTest,
    ::testing::Values(CFlagCase{"OneNul", std::string("1\0", 2), true},
                      CFlagCase{"ReadsNoFurther", std::string("1\0garbage", 9), true},
                      CFlagCase{"OneLineEnd", "1\r\n", false}, CFlagCase{"OneOne", "11", false},
                      CFlagCase{"Zero", std::string("0\0", 2), false},
                      CFlagCase{"Empty", std::string("\0\0", 2), false},
                      CFlagCase{"NulThenOne",
                                std::string("\0"
                                            "1",
                                            2),
                                false},
                      CFlagCase{"NoRoomForTheNul", "1", false},
                      CFlagCase{"NothingToRead", "", false}),
    CRowName());

// ---------------------------------------------------------------- LiveCheck

struct CSectionCase {
    const char* name;
    const char* bytes; // NULL: no section
    std::size_t length;
    const char* failing;
    bool alive;
};

void PrintTo(const CSectionCase& row, std::ostream* out) {
    *out << row.name;
}

class LiveCheckTest : public CWinsimTest, public ::testing::WithParamInterface<CSectionCase> {};

TEST_P(LiveCheckTest, ReadsTheSectionAndKeepsNothingOpen) {
    const CSectionCase& c = GetParam();
    if (c.bytes != NULL)
        winsim::setSection(kSection, std::string(c.bytes, c.length));
    if (c.failing != NULL)
        winsim::failCall(c.failing, ERROR_ACCESS_DENIED);

    EXPECT_EQ(c.alive, LiveCheck());
    EXPECT_EQ(0u, winsim::openHandles());
}

INSTANTIATE_TEST_SUITE_P(
    Sections, LiveCheckTest,
    ::testing::Values(CSectionCase{"OneNul", "1\0", 2, NULL, true},
                      CSectionCase{"OneLineEnd", "1\r\n", 3, NULL, false},
                      CSectionCase{"Zero", "0", 1, NULL, false},
                      CSectionCase{"Empty", "", 0, NULL, false},
                      CSectionCase{"Missing", NULL, 0, NULL, false},
                      CSectionCase{"CannotOpen", "1\0", 2, "OpenFileMappingA", false},
                      CSectionCase{"CannotMap", "1\0", 2, "MapViewOfFile", false}),
    CRowName());

// ---------------------------------------------------------------- EnsureMonitoredRunning

struct CRestartCase {
    const char* name;
    DWORD state;
    winsim::ServiceScript script;
    const char* failing; // made to fail on every call
    std::size_t startRequests;
    DWORD finalState;
    std::vector<DWORD> sleeps;
};

void PrintTo(const CRestartCase& row, std::ostream* out) {
    *out << row.name;
}

winsim::ServiceScript Script(DWORD pendingPolls, DWORD waitHint, DWORD startError = 0) {
    winsim::ServiceScript script;
    script.startPendingPolls = pendingPolls;
    script.waitHint = waitHint;
    script.startError = startError;
    return script;
}

// A service that stays stop pending at every poll.
winsim::ServiceScript NeverStops() {
    winsim::ServiceScript script;
    script.stopPendingPolls = winsim::ServiceScript::kForever;
    return script;
}

class EnsureRunningTest : public CWinsimTest, public ::testing::WithParamInterface<CRestartCase> {};

TEST_P(EnsureRunningTest, StartsAStoppedServiceUntilItRuns) {
    const CRestartCase& c = GetParam();
    winsim::addScriptedService(kService, c.script, c.state);
    if (c.failing != NULL)
        winsim::failCall(c.failing, ERROR_ACCESS_DENIED, 1, 0);

    EnsureMonitoredRunning();

    EXPECT_EQ(c.startRequests, winsim::startRequests(kService));
    EXPECT_EQ(c.finalState, winsim::serviceStatus(kService).dwCurrentState);
    EXPECT_EQ(c.sleeps, winsim::sleeps());
    EXPECT_EQ(0u, winsim::openHandles());
}

// A service with N pending polls is refused (already starting) on each
// retry, and is interrogated N times before it runs: N sleeps.
INSTANTIATE_TEST_SUITE_P(
    Services, EnsureRunningTest,
    ::testing::Values(
        CRestartCase{"Running", SERVICE_RUNNING, Script(0, 300), NULL, 0, SERVICE_RUNNING, {}},
        CRestartCase{"StartsAtOnce", SERVICE_STOPPED, Script(0, 300), NULL, 1, SERVICE_RUNNING, {}},
        CRestartCase{"StoppedThenStarted",
                     SERVICE_STOPPED,
                     Script(2, 300),
                     NULL,
                     3,
                     SERVICE_RUNNING,
                     {300, 300}},
        CRestartCase{"WaitHintZeroHasAFloor",
                     SERVICE_STOPPED,
                     Script(3, 0),
                     NULL,
                     4,
                     SERVICE_RUNNING,
                     {kMinRetrySleepMs, kMinRetrySleepMs, kMinRetrySleepMs}},
        CRestartCase{"StartRefused",
                     SERVICE_STOPPED,
                     Script(0, 300, ERROR_SERVICE_DISABLED),
                     NULL,
                     1,
                     SERVICE_STOPPED,
                     {}},
        CRestartCase{
            "StillStopping", SERVICE_STOP_PENDING, NeverStops(), NULL, 1, SERVICE_STOP_PENDING, {}},
        // The interrogate's answer decides: paused is not running, so a
        // start is tried (and refused, as the service is not stopped).
        CRestartCase{"QueryFailsInterrogatePaused",
                     SERVICE_PAUSED,
                     Script(0, 300),
                     "QueryServiceStatus",
                     1,
                     SERVICE_PAUSED,
                     {}},
        CRestartCase{"QueryFailsInterrogateRunning",
                     SERVICE_RUNNING,
                     Script(0, 300),
                     "QueryServiceStatus",
                     0,
                     SERVICE_RUNNING,
                     {}},
        CRestartCase{"QueryAndInterrogateFail",
                     SERVICE_STOPPED,
                     Script(0, 300),
                     "QueryServiceStatus",
                     0,
                     SERVICE_STOPPED,
                     {}},
        CRestartCase{"ServiceCannotBeOpened",
                     SERVICE_STOPPED,
                     Script(0, 300),
                     "OpenServiceA",
                     0,
                     SERVICE_STOPPED,
                     {}},
        CRestartCase{"ManagerCannotBeOpened",
                     SERVICE_STOPPED,
                     Script(0, 300),
                     "OpenSCManagerA",
                     0,
                     SERVICE_STOPPED,
                     {}}),
    CRowName());

TEST_F(CWinsimTest, NotInstalledDoesNothing) {
    EnsureMonitoredRunning();
    EXPECT_EQ(1u, winsim::callCount("OpenServiceA"));
    EXPECT_EQ(0u, winsim::callCount("QueryServiceStatus"));
    EXPECT_EQ(0u, winsim::openHandles());
}

// ---------------------------------------------------------------- the monitor thread

class MonitorThreadTest : public CWinsimTest {
protected:
    void SetUp() override {
        CWinsimTest::SetUp();
        winsim::setTimeScale(0.05);
    }
    // Waits until the monitor has made `n` more checks.
    static void WaitForChecks(std::size_t n) {
        std::size_t start = winsim::callCount("OpenFileMappingA");
        ASSERT_TRUE(WaitUntil([&] { return winsim::callCount("OpenFileMappingA") >= start + n; }));
    }
};

TEST_F(MonitorThreadTest, AliveFlagNeverContactsTheServiceManager) {
    winsim::setSection(kSection, std::string("1\0", 2));
    StartMonitor(NULL);
    WaitForChecks(3);
    EXPECT_EQ(0u, winsim::callCount("OpenSCManagerA"));
    // One second between checks.
    for (DWORD sleep : winsim::sleeps())
        EXPECT_EQ(1000u, sleep);
}

TEST_F(MonitorThreadTest, StartsTheStoppedServiceAndGoesOnChecking) {
    winsim::addScriptedService(kService, Script(1, 300), SERVICE_STOPPED);
    StartMonitor(NULL);
    ASSERT_TRUE(WaitUntil(
        [] { return winsim::serviceStatus(kService).dwCurrentState == SERVICE_RUNNING; }));
    WaitForChecks(2);
    EXPECT_EQ(2u, winsim::startRequests(kService)); // the start and one refused retry
}

TEST_F(MonitorThreadTest, NotInstalledLeavesNoHandleOpen) {
    StartMonitor(NULL);
    WaitForChecks(3);
    winsim::endProcess();
    EXPECT_EQ(0u, winsim::openHandles(winsim::Kind::Manager));
    EXPECT_EQ(0u, winsim::openHandles(winsim::Kind::Service));
    EXPECT_EQ(0u, winsim::openHandles(winsim::Kind::Mapping));
}

TEST_F(MonitorThreadTest, OneMonitorThreadWhileAHandleIsHeld) {
    StartMonitor(NULL);
    HANDLE first = MonitorThreadHandle();
    ASSERT_NE(nullptr, first);
    StartMonitor(NULL);
    EXPECT_EQ(first, MonitorThreadHandle());
    EXPECT_EQ(1u, winsim::callCount("CreateThread"));
    EXPECT_EQ(1u, winsim::openHandles(winsim::Kind::Thread));
}

TEST_F(MonitorThreadTest, ReleaseClosesTheHandleAndTheMonitorRunsOn) {
    ReleaseMonitor(NULL);
    EXPECT_EQ(0u, winsim::callCount("CloseHandle"));

    StartMonitor(NULL);
    ReleaseMonitor(NULL);
    EXPECT_EQ(nullptr, MonitorThreadHandle());
    EXPECT_EQ(0u, winsim::openHandles(winsim::Kind::Thread));
    WaitForChecks(2);
}

} // namespace
