#include <winsock2.h>
#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Fixture.h"
#include "NTService.h"

// watchdog/main.cpp, compiled for the tests under this name.
int BrisvelMain(int argc, char* argv[]);

namespace {

int RunMain(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& s : args)
        argv.push_back(&s[0]);
    argv.push_back(NULL);
    return BrisvelMain(static_cast<int>(args.size()), argv.data());
}

// The command line is never looked at, and the object is still destroyed:
// the SID copy is freed and the instance pointer cleared.
void ExpectEndedBeforeTheCommandLine() {
    EXPECT_EQ(0u, winsim::callCount("StartServiceCtrlDispatcherA"));
    EXPECT_EQ(nullptr, CNTService::s_instance);
    EXPECT_EQ(0u, winsim::openHandles());
    EXPECT_TRUE(winsim::eventLog().empty());
}

TEST_F(CWinsimTest, MainEndsWithZeroWhenWinsockFails) {
    winsim::setWinsock(WSASYSNOTREADY, 0x0101);
    EXPECT_EQ(0, RunMain({"brisvel.exe", "-i"}));
    EXPECT_EQ(0u, winsim::winsockCleanups());
    ExpectEndedBeforeTheCommandLine();
}

class MainVersionTest : public CWinsimTest, public ::testing::WithParamInterface<WORD> {};

TEST_P(MainVersionTest, AnotherVersionIsCleanedUpAndRefused) {
    winsim::setWinsock(0, GetParam());
    EXPECT_EQ(0, RunMain({"brisvel.exe"}));
    EXPECT_EQ(1u, winsim::winsockCleanups());
    EXPECT_EQ(WSAVERNOTSUPPORTED, WSAGetLastError());
    ExpectEndedBeforeTheCommandLine();
}

INSTANTIATE_TEST_SUITE_P(Versions, MainVersionTest,
                         ::testing::Values(0x0001, 0x0100, 0x0102, 0x0201, 0x0202));

TEST_F(CWinsimTest, MainFromAPromptRecordsTheFailedConnection) {
    EXPECT_EQ(0, RunMain({"brisvel.exe"}));
    EXPECT_EQ(1u, winsim::callCount("StartServiceCtrlDispatcherA"));
    auto log = winsim::eventLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("Ondrimar", log[0].source);
    EXPECT_EQ(std::vector<std::string>{MessageText(1063)}, log[0].strings);
    EXPECT_EQ(0u, winsim::openHandles());
}

TEST_F(CWinsimTest, MainRunsTheServiceUntilStopped) {
    winsim::setTimeScale(0.05);
    winsim::setSection("Ondrimar_LiveCheck", std::string("1\0", 2));
    winsim::addHostedService("Ondrimar");
    winsim::startAsService("Ondrimar");
    CProcessMain process([] { return RunMain({"brisvel.exe"}); });

    ASSERT_TRUE(winsim::waitForState("Ondrimar", SERVICE_RUNNING));
    ASSERT_TRUE(WaitUntil([] { return MonitorThreadHandle() != NULL; }));
    ASSERT_EQ(0u, winsim::sendControl("Ondrimar", SERVICE_CONTROL_STOP));
    EXPECT_NE(0, process.join());
    EXPECT_EQ(nullptr, CNTService::s_instance);
}

} // namespace
