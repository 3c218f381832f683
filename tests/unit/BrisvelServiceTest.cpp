#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BrisvelService.h"
#include "Fixture.h"
#include "LivenessMonitor.h"

namespace {

const char kName[] = "Ondrimar";

// The watchdog run as the hosted service "Ondrimar" (which is also the
// service its monitor watches), on a clock at 1/20 of real time. The section
// says alive, so the monitor never turns to the SCM unless a test wants it.
class BrisvelServiceTest : public CWinsimTest {
protected:
    void SetUp() override {
        CWinsimTest::SetUp();
        winsim::setTimeScale(0.05);
        winsim::setSection("Ondrimar_LiveCheck", std::string("1\0", 2));
        winsim::addHostedService(kName);
        winsim::startAsService(kName);
        m_owner.reset(new CBrisvelService);
    }

    void TearDown() override {
        m_process.reset();
        m_owner.reset();
        CWinsimTest::TearDown();
    }

    // Starts the run and waits until it reports running and its monitor
    // thread exists (a stop before that would find no handle to release).
    void Start() {
        m_process.reset(new CProcessMain([this] { return RunWithoutOptions(Service()); }));
        ASSERT_TRUE(winsim::waitForState(kName, SERVICE_RUNNING));
        ASSERT_TRUE(WaitUntil([] { return MonitorThreadHandle() != NULL; }));
    }

    void Control(DWORD control) { ASSERT_EQ(0u, winsim::sendControl(kName, control)); }

    // Ends with the dispatcher's result, once stopped has been reported.
    int Finish() {
        EXPECT_TRUE(winsim::waitForState(kName, SERVICE_STOPPED));
        int result = m_process->join();
        m_process.reset();
        return result;
    }

    bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

    // Waits until the polling loop has made `n` more waits of its own.
    void LetTheLoopRun(std::size_t n = 12) {
        std::size_t start = winsim::callCount("WaitForSingleObject");
        ASSERT_TRUE(
            WaitUntil([&] { return winsim::callCount("WaitForSingleObject") >= start + n; }));
    }

    std::vector<std::string> Reports() { return Describe(winsim::statusReports(kName)); }

    // Made after the machine is reset, and gone before the fixture's checks.
    std::unique_ptr<CBrisvelService> m_owner;
    std::unique_ptr<CProcessMain> m_process;
    CBrisvelService& Service() { return *m_owner; }
};

TEST_F(BrisvelServiceTest, StopReportsStopPendingAndClosesEverything) {
    EXPECT_EQ(7u, Service().m_controlsAccepted);
    Start();
    Control(SERVICE_CONTROL_STOP);
    EXPECT_NE(0, Finish());

    EXPECT_EQ((std::vector<std::string>{Report(2, 0, 1, 3000), Report(2, 0, 2, 3000),
                                        Report(4, 7, 0, 3000), Report(3, 7, 3, 5000),
                                        Report(1, 7, 0, 3000)}),
              Reports());
    EXPECT_EQ(nullptr, Service().m_stopEvent);
    EXPECT_EQ(nullptr, Service().m_pauseEvent);
    EXPECT_EQ(nullptr, Service().m_continueEvent);
    winsim::endProcess(); // the release thread and the monitor have ended
    EXPECT_EQ(nullptr, MonitorThreadHandle());
    EXPECT_EQ(1u, winsim::openHandles()); // only the SID copy
    EXPECT_EQ(0u, winsim::callCount("OpenSCManagerA"));
    EXPECT_TRUE(winsim::eventLog().empty());
}

TEST_F(BrisvelServiceTest, PauseInterrogateContinueInterrogateStop) {
    Start();
    Control(SERVICE_CONTROL_PAUSE);
    // Paused is reported at once; the loop stays paused until continue.
    EXPECT_EQ(SERVICE_PAUSED, winsim::serviceStatus(kName).dwCurrentState);
    LetTheLoopRun();
    EXPECT_TRUE(IsSet(Service().m_pauseEvent));
    Control(SERVICE_CONTROL_INTERROGATE);
    Control(SERVICE_CONTROL_CONTINUE);
    // Leaving paused mode resets both events.
    ASSERT_TRUE(WaitUntil(
        [&] { return !IsSet(Service().m_pauseEvent) && !IsSet(Service().m_continueEvent); }));
    Control(SERVICE_CONTROL_INTERROGATE);
    Control(SERVICE_CONTROL_STOP);
    EXPECT_NE(0, Finish());

    EXPECT_EQ((std::vector<std::string>{
                  Report(2, 0, 1, 3000), Report(2, 0, 2, 3000), Report(4, 7, 0, 3000),
                  Report(6, 7, 3, 3000), Report(7, 7, 4, 3000), Report(7, 7, 5, 3000),
                  Report(5, 7, 6, 3000), Report(4, 7, 0, 3000), Report(4, 7, 0, 3000),
                  Report(3, 7, 7, 5000), Report(1, 7, 0, 3000)}),
              Reports());
}

TEST_F(BrisvelServiceTest, StopWhilePaused) {
    Start();
    Control(SERVICE_CONTROL_PAUSE);
    LetTheLoopRun();
    Control(SERVICE_CONTROL_STOP);
    EXPECT_NE(0, Finish());
    EXPECT_EQ(Report(1, 7, 0, 3000), Reports().back());
    EXPECT_EQ(0u, winsim::openHandles(winsim::Kind::Event));
}

// Pause and continue arrive back to back: whether or not the loop saw the
// pause in between, it ends in running mode with both events reset, so a
// later pause holds.
TEST_F(BrisvelServiceTest, PauseThenContinueBeforeTheLoopLooks) {
    Start();
    Control(SERVICE_CONTROL_PAUSE);
    Control(SERVICE_CONTROL_CONTINUE);
    ASSERT_TRUE(WaitUntil(
        [&] { return !IsSet(Service().m_pauseEvent) && !IsSet(Service().m_continueEvent); }));
    EXPECT_EQ(SERVICE_RUNNING, winsim::serviceStatus(kName).dwCurrentState);

    std::size_t resets = winsim::callCount("ResetEvent");
    Control(SERVICE_CONTROL_PAUSE);
    LetTheLoopRun();
    EXPECT_TRUE(IsSet(Service().m_pauseEvent));
    EXPECT_EQ(resets, winsim::callCount("ResetEvent"));

    Control(SERVICE_CONTROL_STOP);
    EXPECT_NE(0, Finish());
}

// A continue while running stays pending in its event: the next pause ends
// at the loop's first look at it, while the reported state stays paused.
TEST_F(BrisvelServiceTest, ContinueWhileNotPaused) {
    Start();
    Control(SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ(SERVICE_RUNNING, winsim::serviceStatus(kName).dwCurrentState);
    LetTheLoopRun();
    EXPECT_TRUE(IsSet(Service().m_continueEvent));

    Control(SERVICE_CONTROL_PAUSE);
    ASSERT_TRUE(WaitUntil(
        [&] { return !IsSet(Service().m_pauseEvent) && !IsSet(Service().m_continueEvent); }));
    EXPECT_EQ(SERVICE_PAUSED, winsim::serviceStatus(kName).dwCurrentState);

    Control(SERVICE_CONTROL_STOP);
    EXPECT_NE(0, Finish());
}

TEST_F(BrisvelServiceTest, ShutdownOnlySetsTheStopEvent) {
    Start();
    Control(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_NE(0, Finish());

    EXPECT_EQ((std::vector<std::string>{Report(2, 0, 1, 3000), Report(2, 0, 2, 3000),
                                        Report(4, 7, 0, 3000), Report(1, 7, 0, 3000)}),
              Reports());
    // No release thread: only the starter and the monitor were created.
    EXPECT_EQ(2u, winsim::callCount("CreateThread"));
    EXPECT_NE(nullptr, MonitorThreadHandle());
}

TEST_F(BrisvelServiceTest, MonitorKeepsRestartingWhilePaused) {
    Start();
    Control(SERVICE_CONTROL_PAUSE);
    // The flag goes bad: the monitor finds "Ondrimar" (itself) paused, not
    // running, and tries to start it, every second.
    winsim::removeSection("Ondrimar_LiveCheck");
    ASSERT_TRUE(WaitUntil([] { return winsim::startRequests(kName) >= 2; }));
    EXPECT_EQ(SERVICE_PAUSED, winsim::serviceStatus(kName).dwCurrentState);
    Control(SERVICE_CONTROL_STOP);
    EXPECT_NE(0, Finish());
}

class EventCreationTest : public BrisvelServiceTest,
                          public ::testing::WithParamInterface<unsigned> {};

TEST_P(EventCreationTest, AMissingEventEndsTheRunWithAnErrorRecord) {
    winsim::failCall("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, GetParam());
    CProcessMain process([this] { return RunWithoutOptions(Service()); });

    EXPECT_NE(0, process.join());
    EXPECT_EQ((std::vector<std::string>{Report(2, 0, 1, 3000), Report(2, 0, 2, 3000),
                                        Report(1, 7, 0, 3000)}),
              Reports());
    auto log = winsim::eventLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, log[0].type);
    EXPECT_EQ(0xC0000002u, log[0].id);
    EXPECT_EQ(std::vector<std::string>{"CreateEvent failed - " + MessageText(8)}, log[0].strings);
    EXPECT_EQ(0u, winsim::openHandles(winsim::Kind::Event));
    EXPECT_EQ(0u, winsim::callCount("CreateThread"));
}

INSTANTIATE_TEST_SUITE_P(StopPauseContinue, EventCreationTest, ::testing::Values(1u, 2u, 3u));

} // namespace
