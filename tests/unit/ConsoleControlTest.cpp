// Starting and stopping the installed service from a console, on the
// simulated clock: the whole output of each run, the one-second polls with
// a dot for each one that still finds the pending state, the result, and
// both handles closed, the service handle first, on every path.
#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "Fixture.h"
#include "NTService.h"

namespace {

const char kServiceName[] = "Ondrimar";
// Differs from the service name, so a message that prints the wrong one shows.
const char kDisplayName[] = "Ondrimar Watchdog";

class CControlProbe : public CNTService {
public:
    CControlProbe() : CNTService(kServiceName, kDisplayName) {}
    BOOL Execute(DWORD, LPSTR*) override { return TRUE; }
    BOOL OnStop() override { return TRUE; }
};

enum EAction { kStart, kStop };

struct CRun {
    BOOL result;
    std::string output;
    DWORD stateAfter; // the current state left in m_status
};

// Runs one action on a fresh object with standard output captured. The
// object is gone when this returns, so every handle left is a leak.
CRun RunAction(EAction action) {
    CRun run;
    ::testing::internal::CaptureStdout();
    {
        CControlProbe service;
        winsim::clearCalls();
        run.result = action == kStart ? service.StartInstalled() : service.StopInstalled();
        run.stateAfter = service.m_status.dwCurrentState;
    }
    run.output = ::testing::internal::GetCapturedStdout();
    return run;
}

// "%s" stands for the display name, "%e" for the system's text of `error`.
std::string Expand(std::string text, DWORD error) {
    for (size_t at; (at = text.find("%s")) != std::string::npos;)
        text.replace(at, 2, kDisplayName);
    size_t at = text.find("%e");
    if (at != std::string::npos)
        text.replace(at, 2, MessageText(error));
    return text;
}

winsim::ServiceScript Script(DWORD startPolls, DWORD afterStart, DWORD stopPolls, DWORD afterStop) {
    winsim::ServiceScript script;
    script.startPendingPolls = startPolls;
    script.afterStart = afterStart;
    script.stopPendingPolls = stopPolls;
    script.afterStop = afterStop;
    return script;
}

void Installed(DWORD state, const winsim::ServiceScript& script = winsim::ServiceScript{}) {
    winsim::addScriptedService(kServiceName, script, state);
}

struct CControlCase {
    const char* name;
    EAction action;
    std::function<void()> setUp;
    std::string expected;
    DWORD error; // whose text "%e" stands for
    BOOL result;
    size_t polls;     // status queries, each after a one-second sleep
    unsigned handles; // opened by the action: manager, then service
};

void PrintTo(const CControlCase& row, std::ostream* out) {
    *out << row.name;
}

class ConsoleControlTest : public CWinsimTest,
                           public ::testing::WithParamInterface<CControlCase> {};

TEST_P(ConsoleControlTest, PrintsTheProgressLineAndTheVerdict) {
    const CControlCase& c = GetParam();
    c.setUp();

    CRun run = RunAction(c.action);

    EXPECT_EQ(Expand(c.expected, c.error), run.output);
    EXPECT_EQ(c.result, run.result);
    EXPECT_EQ(std::vector<DWORD>(c.polls, 1000), winsim::sleeps());
    EXPECT_EQ(c.polls, winsim::callCount("QueryServiceStatus"));
    // They print to the standard output the process has.
    EXPECT_EQ(0u, winsim::callCount("AllocConsole"));
    EXPECT_EQ(0u, winsim::callCount("_dup2"));
    EXPECT_EQ(c.handles, winsim::callCount("CloseServiceHandle"));
    EXPECT_EQ(0u, winsim::openHandles());
}

// With the first close made to fail, the handle it was given stays open:
// when both were opened it must be the service handle.
TEST_P(ConsoleControlTest, ClosesTheServiceHandleFirst) {
    const CControlCase& c = GetParam();
    c.setUp();
    winsim::failCall("CloseServiceHandle", ERROR_INVALID_HANDLE, 1);

    CRun run = RunAction(c.action);

    EXPECT_EQ(c.result, run.result);
    EXPECT_EQ(c.handles, winsim::callCount("CloseServiceHandle"));
    EXPECT_EQ(c.handles == 2 ? 1u : 0u, winsim::openHandles(winsim::Kind::Service));
    EXPECT_EQ(c.handles == 1 ? 1u : 0u, winsim::openHandles(winsim::Kind::Manager));
}

TEST_P(ConsoleControlTest, SendsOnlyItsOwnRequestOnce) {
    const CControlCase& c = GetParam();
    c.setUp();
    bool installed = winsim::serviceExists(kServiceName);
    size_t startsBefore = installed ? winsim::startRequests(kServiceName) : 0;

    RunAction(c.action);

    // Only the start action asks for a start, once, and only when it got as
    // far as the service; the stop action never does.
    size_t starts = installed ? winsim::startRequests(kServiceName) - startsBefore : 0;
    EXPECT_EQ(c.action == kStart && c.handles == 2 ? 1u : 0u, starts);
    EXPECT_EQ(c.action == kStop && c.handles == 2 ? 1u : 0u, winsim::callCount("ControlService"));
}

const DWORD kForever = winsim::ServiceScript::kForever;

INSTANTIATE_TEST_SUITE_P(
    Start, ConsoleControlTest,
    ::testing::Values(
        CControlCase{"StartWithinASecond", kStart, [] { Installed(SERVICE_STOPPED); },
                     "Starting up %s.\n%s started.\n", 0, 1, 1, 2},
        CControlCase{
            "StartPendingForSeconds", kStart,
            [] { Installed(SERVICE_STOPPED, Script(3, SERVICE_RUNNING, 0, SERVICE_STOPPED)); },
            "Starting up %s....\n%s started.\n", 0, 1, 4, 2},
        CControlCase{
            "StartEndsStopped", kStart,
            [] { Installed(SERVICE_STOPPED, Script(2, SERVICE_STOPPED, 0, SERVICE_STOPPED)); },
            "Starting up %s...\n%s failed to start.\n", 0, 0, 3, 2},
        CControlCase{"StartAlreadyRunning", kStart, [] { Installed(SERVICE_RUNNING); },
                     "Starting up %s.\n%s failed to start: %e\n", ERROR_SERVICE_ALREADY_RUNNING, 0,
                     0, 2},
        CControlCase{"StartRefused", kStart,
                     [] {
                         winsim::ServiceScript script;
                         script.startError = ERROR_SERVICE_DISABLED;
                         Installed(SERVICE_STOPPED, script);
                     },
                     "Starting up %s.\n%s failed to start: %e\n", ERROR_SERVICE_DISABLED, 0, 0, 2},
        // StartServiceA writes no status: with the first query failing the
        // verdict rests on the record as constructed, which is not running.
        CControlCase{"StartFirstQueryFails", kStart,
                     [] {
                         Installed(SERVICE_STOPPED);
                         winsim::failCall("QueryServiceStatus", ERROR_ACCESS_DENIED, 1);
                     },
                     "Starting up %s.\n%s failed to start.\n", 0, 0, 1, 2},
        CControlCase{"StartLaterQueryFails", kStart,
                     [] {
                         Installed(SERVICE_STOPPED, Script(5, SERVICE_RUNNING, 0, SERVICE_STOPPED));
                         winsim::failCall("QueryServiceStatus", ERROR_ACCESS_DENIED, 3);
                     },
                     "Starting up %s...\n%s failed to start.\n", 0, 0, 3, 2},
        // No limit: the dots go on until something other than the pending
        // state is seen; here the 40th query fails.
        CControlCase{
            "StartNeverLeavesPending", kStart,
            [] {
                Installed(SERVICE_STOPPED, Script(kForever, SERVICE_RUNNING, 0, SERVICE_STOPPED));
                winsim::failCall("QueryServiceStatus", ERROR_ACCESS_DENIED, 40);
            },
            "Starting up %s." + std::string(39, '.') + "\n%s failed to start.\n", 0, 0, 40, 2},
        CControlCase{"StartNotInstalled", kStart, [] {}, "OpenService failed - %e\n",
                     ERROR_SERVICE_DOES_NOT_EXIST, 0, 0, 1},
        CControlCase{"StartManagerDenied", kStart,
                     [] {
                         Installed(SERVICE_STOPPED);
                         winsim::failCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
                     },
                     "OpenSCManager failed - %e\n", ERROR_ACCESS_DENIED, 0, 0, 0}),
    CRowName());

INSTANTIATE_TEST_SUITE_P(
    Stop, ConsoleControlTest,
    ::testing::Values(
        CControlCase{"StopWithinASecond", kStop, [] { Installed(SERVICE_RUNNING); },
                     "Stopping %s.\n%s stopped.\n", 0, 1, 1, 2},
        CControlCase{
            "StopPendingForSeconds", kStop,
            [] { Installed(SERVICE_RUNNING, Script(0, SERVICE_RUNNING, 4, SERVICE_STOPPED)); },
            "Stopping %s.....\n%s stopped.\n", 0, 1, 5, 2},
        CControlCase{
            "StopEndsRunning", kStop,
            [] { Installed(SERVICE_RUNNING, Script(0, SERVICE_RUNNING, 1, SERVICE_RUNNING)); },
            "Stopping %s..\n%s failed to stop.\n", 0, 0, 2, 2},
        // A stopped service refuses the request: nothing at all is printed.
        CControlCase{"StopAlreadyStopped", kStop, [] { Installed(SERVICE_STOPPED); }, "", 0, 0, 0,
                     2},
        CControlCase{"StopWhileStarting", kStop,
                     [] {
                         Installed(SERVICE_START_PENDING,
                                   Script(kForever, SERVICE_RUNNING, 0, SERVICE_STOPPED));
                     },
                     "", 0, 0, 0, 2},
        // With the first query failing, the state returned with the
        // accepted request decides.
        CControlCase{"StopFirstQueryFailsWhilePending", kStop,
                     [] {
                         Installed(SERVICE_RUNNING, Script(0, SERVICE_RUNNING, 2, SERVICE_STOPPED));
                         winsim::failCall("QueryServiceStatus", ERROR_ACCESS_DENIED, 1);
                     },
                     "Stopping %s.\n%s failed to stop.\n", 0, 0, 1, 2},
        CControlCase{"StopFirstQueryFailsOnceStopped", kStop,
                     [] {
                         Installed(SERVICE_RUNNING);
                         winsim::failCall("QueryServiceStatus", ERROR_ACCESS_DENIED, 1);
                     },
                     "Stopping %s.\n%s stopped.\n", 0, 1, 1, 2},
        CControlCase{"StopNeverLeavesPending", kStop,
                     [] {
                         Installed(SERVICE_RUNNING,
                                   Script(0, SERVICE_RUNNING, kForever, SERVICE_STOPPED));
                         winsim::failCall("QueryServiceStatus", ERROR_ACCESS_DENIED, 40);
                     },
                     "Stopping %s." + std::string(39, '.') + "\n%s failed to stop.\n", 0, 0, 40, 2},
        CControlCase{"StopNotInstalled", kStop, [] {}, "OpenService failed - %e\n",
                     ERROR_SERVICE_DOES_NOT_EXIST, 0, 0, 1},
        CControlCase{"StopManagerDenied", kStop,
                     [] {
                         Installed(SERVICE_RUNNING);
                         winsim::failCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
                     },
                     "OpenSCManager failed - %e\n", ERROR_ACCESS_DENIED, 0, 0, 0}),
    CRowName());

// After the call the record holds the status last received.
TEST_F(CWinsimTest, TheRecordHoldsTheLastStatusReceived) {
    Installed(SERVICE_STOPPED, Script(2, SERVICE_RUNNING, 0, SERVICE_STOPPED));
    CRun started = RunAction(kStart);
    EXPECT_EQ(1, started.result);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), started.stateAfter);

    CRun stopped = RunAction(kStop);
    EXPECT_EQ(1, stopped.result);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), stopped.stateAfter);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
              winsim::serviceStatus(kServiceName).dwCurrentState);
}

} // namespace
