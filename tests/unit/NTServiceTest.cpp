#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "Fixture.h"
#include "NTService.h"

namespace {

struct CStep {
    DWORD state;
    DWORD waitHint;
    DWORD exitCode;
};

enum EHandler { kNone = -1, kOnStop, kOnPause, kOnContinue, kOnShutdown };

// A service that reports the steps it is given, then optionally waits until
// the test finishes it. Its handlers report nothing; they count their calls
// and the current state they found in the record.
class CProbeService : public CNTService {
public:
    explicit CProbeService(LPCSTR displayName = NULL)
        : CNTService("Probe", displayName), m_finish(CreateEventA(NULL, TRUE, FALSE, NULL)) {}

    BOOL Execute(DWORD, LPSTR*) override {
        ++m_executeCalls;
        for (const CStep& step : m_steps)
            SetStatus(step.state, step.waitHint, step.exitCode);
        if (m_waitForFinish)
            WaitForSingleObject(m_finish.get(), INFINITE);
        return TRUE;
    }
    BOOL OnStop() override { return Record(kOnStop); }
    BOOL OnPause() override { return Record(kOnPause); }
    BOOL OnContinue() override { return Record(kOnContinue); }
    BOOL OnShutdown() override { return Record(kOnShutdown); }

    void Finish() { SetEvent(m_finish.get()); }

    std::vector<CStep> m_steps;
    bool m_waitForFinish = false;
    std::atomic<int> m_executeCalls{0};
    std::atomic<int> m_handlerCalls[4] = {};
    std::atomic<DWORD> m_stateSeen[4] = {};

private:
    BOOL Record(EHandler handler) {
        m_stateSeen[handler] = m_status.dwCurrentState;
        ++m_handlerCalls[handler];
        return TRUE;
    }

    CHandle m_finish;
};

class NTServiceTest : public CWinsimTest {};

TEST_F(NTServiceTest, DisplayNameDefaultsToServiceName) {
    CProbeService unnamed;
    EXPECT_EQ(unnamed.m_serviceName, unnamed.m_displayName);
    EXPECT_EQ(&unnamed, CNTService::s_instance);
    {
        CProbeService named("Probe Service");
        EXPECT_STREQ("Probe Service", named.m_displayName);
        EXPECT_EQ(&named, CNTService::s_instance);
    }
    EXPECT_EQ(nullptr, CNTService::s_instance);
}

// ---------------------------------------------------------------- the user SID

struct CUserCase {
    const char* name;
    DWORD platformId;
    const char* failing; // a function made to fail, or NULL
    bool expectUser;
};

void PrintTo(const CUserCase& row, std::ostream* out) {
    *out << row.name;
}

class UserSidTest : public CWinsimTest, public ::testing::WithParamInterface<CUserCase> {};

TEST_P(UserSidTest, RecordsCarryTheUserWhenItCanBeCopied) {
    const CUserCase& c = GetParam();
    winsim::setPlatformId(c.platformId);
    if (c.failing != NULL)
        winsim::failCall(c.failing, ERROR_NOT_ENOUGH_MEMORY);
    {
        CProbeService service;
        EXPECT_EQ(c.platformId == VER_PLATFORM_WIN32_NT ? 1 : 0, service.m_isNt);
        EXPECT_EQ(c.expectUser, service.m_userSid.valid());
        EXPECT_EQ(c.expectUser ? 1u : 0u, winsim::openHandles(winsim::Kind::LocalMemory));

        service.LogEvent("hello", EVENTLOG_INFORMATION_TYPE, 0xFFFFFFFFu);
        auto log = winsim::eventLog();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(c.expectUser ? winsim::userSid() : std::vector<BYTE>(), log[0].userSid);
    }
    // The destructor frees the copy.
    EXPECT_EQ(0u, winsim::openHandles());
    if (c.platformId != VER_PLATFORM_WIN32_NT) {
        EXPECT_EQ(0u, winsim::callCount("LookupAccountNameA"));
    }
    if (c.failing != NULL && std::strcmp(c.failing, "LocalAlloc") == 0) {
        EXPECT_EQ(0u, winsim::callCount("CopySid"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, UserSidTest,
    ::testing::Values(CUserCase{"WindowsNt", VER_PLATFORM_WIN32_NT, NULL, true},
                      CUserCase{"Windows9x", VER_PLATFORM_WIN32_WINDOWS, NULL, false},
                      CUserCase{"UserNameFails", VER_PLATFORM_WIN32_NT, "GetUserNameA", false},
                      CUserCase{"LookupFails", VER_PLATFORM_WIN32_NT, "LookupAccountNameA", false},
                      CUserCase{"SidInvalid", VER_PLATFORM_WIN32_NT, "IsValidSid", false},
                      CUserCase{"NoHeapBlock", VER_PLATFORM_WIN32_NT, "LocalAlloc", false}),
    CRowName());

// ---------------------------------------------------------------- LogEvent

struct CEventIdCase {
    const char* name;
    WORD type;
    DWORD given;
    DWORD expected;
};

void PrintTo(const CEventIdCase& row, std::ostream* out) {
    *out << row.name;
}

class LogEventTest : public CWinsimTest, public ::testing::WithParamInterface<CEventIdCase> {};

TEST_P(LogEventTest, WritesOneRecordWithTheDefaultOrGivenId) {
    const CEventIdCase& c = GetParam();
    CProbeService service;
    SetLastError(1234);

    service.LogEvent("some text", c.type, c.given);

    EXPECT_EQ(1234u, service.m_lastError);
    auto log = winsim::eventLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("Probe", log[0].source);
    EXPECT_EQ(c.type, log[0].type);
    EXPECT_EQ(0, log[0].category);
    EXPECT_EQ(c.expected, log[0].id);
    EXPECT_EQ(std::vector<std::string>{"some text"}, log[0].strings);
    EXPECT_EQ(0u, log[0].dataSize);
    EXPECT_EQ(0u, winsim::openHandles(winsim::Kind::EventSource));
}

INSTANTIATE_TEST_SUITE_P(
    Types, LogEventTest,
    ::testing::Values(CEventIdCase{"ErrorDefault", 1, 0xFFFFFFFFu, 0xC0000002u},
                      CEventIdCase{"WarningDefault", 2, 0xFFFFFFFFu, 0x80000001u},
                      CEventIdCase{"InformationDefault", 4, 0xFFFFFFFFu, 0x40000000u},
                      CEventIdCase{"AuditSuccessDefault", 8, 0xFFFFFFFFu, 0x40000000u},
                      CEventIdCase{"AuditFailureDefault", 16, 0xFFFFFFFFu, 0x40000000u},
                      CEventIdCase{"OtherTypeDefault", 3, 0xFFFFFFFFu, 0x40000000u},
                      CEventIdCase{"SuccessTypeDefault", 0, 0xFFFFFFFFu, 0x40000000u},
                      CEventIdCase{"ZeroIdKept", 1, 0, 0},
                      CEventIdCase{"GivenIdKept", 4, 0x1234, 0x1234},
                      CEventIdCase{"ErrorIdOnWarningKept", 2, 0xC0000002u, 0xC0000002u}),
    CRowName());

TEST_F(NTServiceTest, LogEventWritesNothingWithoutAnEventSource) {
    CProbeService service;
    winsim::failCall("RegisterEventSourceA", ERROR_ACCESS_DENIED);
    service.LogEvent("lost", EVENTLOG_ERROR_TYPE, 0xFFFFFFFFu);
    EXPECT_TRUE(winsim::eventLog().empty());
    EXPECT_EQ(0u, winsim::callCount("ReportEventA"));
}

// ---------------------------------------------------------------- FormatLastError

struct CMessageCase {
    const char* name;
    const char* message; // NULL: the code has no message
    int sizeOverLength;  // the buffer size is the message's length plus this
    const char* expected;
};

void PrintTo(const CMessageCase& row, std::ostream* out) {
    *out << row.name;
}

class FormatLastErrorTest : public CWinsimTest,
                            public ::testing::WithParamInterface<CMessageCase> {};

TEST_P(FormatLastErrorTest, CopiesTheMessageWithoutItsLineEnd) {
    const CMessageCase& c = GetParam();
    const DWORD code = 4242;
    if (c.message != NULL)
        winsim::setSystemMessage(code, c.message);
    else
        winsim::removeSystemMessage(code);
    DWORD size = static_cast<DWORD>((c.message ? std::strlen(c.message) : 0) + c.sizeOverLength);
    // Bytes past the declared size must stay untouched.
    std::vector<char> buffer(size + 16, '#');
    CProbeService service;

    SetLastError(code);
    LPSTR result = service.FormatLastError(buffer.data(), size);

    EXPECT_EQ(buffer.data(), result);
    EXPECT_STREQ(c.expected, buffer.data());
    for (size_t i = size; i < buffer.size(); ++i)
        ASSERT_EQ('#', buffer[i]) << "byte " << i << " written past the buffer";
    EXPECT_EQ(service.m_userSid.valid() ? 1u : 0u, winsim::openHandles(winsim::Kind::LocalMemory));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FormatLastErrorTest,
    ::testing::Values(CMessageCase{"FitsAtLengthPlus14", "Ready.\r\n", 14, "Ready."},
                      CMessageCase{"EmptyAtLengthPlus13", "Ready.\r\n", 13, ""},
                      CMessageCase{"RoomToSpare", "Ready.\r\n", 100, "Ready."},
                      CMessageCase{"AlwaysDropsTwoCharacters", "No line end", 14, "No line e"},
                      CMessageCase{"OneCharacterMessage", "x", 14, ""},
                      CMessageCase{"EmptyMessage", "", 20, ""},
                      CMessageCase{"NoMessage", NULL, 64, ""}),
    CRowName());

// ---------------------------------------------------------------- RunAsService

class RunFromPromptTest : public CWinsimTest, public ::testing::WithParamInterface<std::size_t> {};

// The record's text is cut to the empty text when the message with 14 to
// spare does not fit 255 bytes: lengths 241 and 242 sit either side.
TEST_P(RunFromPromptTest, RecordsTheFailedConnection) {
    std::size_t length = GetParam();
    if (length != 0)
        winsim::setSystemMessage(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
                                 std::string(length - 2, 'm') + "\r\n");
    std::string expected = length > 241 ? "" : MessageText(1063);
    CProbeService service;

    EXPECT_EQ(0, RunWithoutOptions(service));

    auto log = winsim::eventLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, log[0].type);
    EXPECT_EQ(0xC0000002u, log[0].id);
    EXPECT_EQ(std::vector<std::string>{expected}, log[0].strings);
    EXPECT_EQ(0, service.m_executeCalls);
    EXPECT_EQ(1u, winsim::openHandles(winsim::Kind::LocalMemory)); // the SID copy only
}

INSTANTIATE_TEST_SUITE_P(MessageLengths, RunFromPromptTest, ::testing::Values(0, 241, 242));

// ---------------------------------------------------------------- reports through a run

struct CReportCase {
    const char* name;
    std::vector<CStep> steps;
    std::vector<std::string> reports;
};

void PrintTo(const CReportCase& row, std::ostream* out) {
    *out << row.name;
}

class StatusReportTest : public CWinsimTest, public ::testing::WithParamInterface<CReportCase> {};

TEST_P(StatusReportTest, ReportsCheckPointsControlsAndExitCodes) {
    winsim::addHostedService("Probe");
    winsim::startAsService("Probe");
    CProbeService service;
    service.m_steps = GetParam().steps;
    CProcessMain process([&] { return RunWithoutOptions(service); });

    EXPECT_NE(0, process.join());
    EXPECT_EQ(GetParam().reports, Describe(winsim::statusReports("Probe")));
    EXPECT_EQ(1, service.m_executeCalls);
    EXPECT_TRUE(winsim::eventLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, StatusReportTest,
    ::testing::Values(
        CReportCase{"StartRunStop",
                    {{SERVICE_RUNNING, 0, 0}, {SERVICE_STOP_PENDING, 500, 0}},
                    {Report(2, 0, 1, 3000), Report(4, 1, 0, 0), Report(3, 1, 2, 500),
                     Report(1, 1, 0, 3000)}},
        CReportCase{"PausedCarriesCheckPoint",
                    {{SERVICE_RUNNING, 0, 0}, {SERVICE_PAUSED, 0, 0}, {SERVICE_PAUSED, 0, 0}},
                    {Report(2, 0, 1, 3000), Report(4, 1, 0, 0), Report(7, 1, 2, 0),
                     Report(7, 1, 3, 0), Report(1, 1, 0, 3000)}},
        CReportCase{"ExitCodeThenNone",
                    {{SERVICE_RUNNING, 0, 42}, {SERVICE_RUNNING, 0, 0}},
                    {Report(2, 0, 1, 3000), Report(4, 1, 0, 0, 42), Report(4, 1, 0, 0),
                     Report(1, 1, 0, 3000)}},
        CReportCase{"PendingPhasesShareOneCounter",
                    {{SERVICE_START_PENDING, 10, 0},
                     {SERVICE_CONTINUE_PENDING, 20, 0},
                     {SERVICE_RUNNING, 0, 0},
                     {SERVICE_PAUSE_PENDING, 30, 0}},
                    {Report(2, 0, 1, 3000), Report(2, 0, 2, 10), Report(5, 1, 3, 20),
                     Report(4, 1, 0, 0), Report(6, 1, 4, 30), Report(1, 1, 0, 3000)}}),
    CRowName());

TEST_F(NTServiceTest, FailedStartPendingSkipsExecuteAndReportsStopped) {
    winsim::addHostedService("Probe");
    winsim::startAsService("Probe");
    winsim::failCall("SetServiceStatus", ERROR_ACCESS_DENIED);
    CProbeService service;
    CProcessMain process([&] { return RunWithoutOptions(service); });

    EXPECT_NE(0, process.join());
    EXPECT_EQ(0, service.m_executeCalls);
    EXPECT_EQ(std::vector<std::string>{Report(1, 1, 0, 3000)},
              Describe(winsim::statusReports("Probe")));
    // The failed report kept its check point: the counter moved on.
    EXPECT_EQ(1u, service.m_checkPoint);
    auto log = winsim::eventLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(std::vector<std::string>{"SetServiceStatus() failed"}, log[0].strings);
    EXPECT_EQ(0xC0000002u, log[0].id);
    EXPECT_EQ(ERROR_ACCESS_DENIED, static_cast<long>(service.m_lastError));
}

TEST_F(NTServiceTest, EachFailedReportWritesOneRecord) {
    winsim::addHostedService("Probe");
    winsim::startAsService("Probe");
    winsim::failCall("SetServiceStatus", ERROR_ACCESS_DENIED, 1, 2);
    CProbeService service;
    CProcessMain process([&] { return RunWithoutOptions(service); });

    // Stopped never reaches the SCM, so the dispatcher only returns when
    // the process ends.
    ASSERT_TRUE(WaitUntil([] { return winsim::eventLog().size() >= 2; }));
    winsim::endProcess();
    process.join();

    EXPECT_EQ(0, service.m_executeCalls);
    EXPECT_TRUE(winsim::statusReports("Probe").empty());
    auto log = winsim::eventLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>{"SetServiceStatus() failed"}, log[0].strings);
    EXPECT_EQ(std::vector<std::string>{"SetServiceStatus() failed"}, log[1].strings);
}

TEST_F(NTServiceTest, NoReportWithoutAControlHandler) {
    winsim::addHostedService("Probe");
    winsim::startAsService("Probe");
    winsim::failCall("RegisterServiceCtrlHandlerA", ERROR_SERVICE_DOES_NOT_EXIST);
    CProbeService service;
    CProcessMain process([&] { return RunWithoutOptions(service); });

    ASSERT_TRUE(WaitUntil([] { return winsim::callCount("RegisterServiceCtrlHandlerA") == 1; }));
    winsim::endProcess(); // joins the service-main thread
    process.join();

    EXPECT_EQ(0u, winsim::callCount("SetServiceStatus"));
    EXPECT_EQ(0, service.m_executeCalls);
    // The only record is the dispatcher's failure once the process ends.
    for (const winsim::EventRecord& record : winsim::eventLog())
        EXPECT_NE(std::vector<std::string>{"SetServiceStatus() failed"}, record.strings);
}

// ---------------------------------------------------------------- ControlHandler

struct CControlCase {
    const char* name;
    DWORD control;
    EHandler handler;
    DWORD stateWritten; // 0: unchanged
    bool reports;
};

void PrintTo(const CControlCase& row, std::ostream* out) {
    *out << row.name;
}

class ControlHandlerTest : public CWinsimTest,
                           public ::testing::WithParamInterface<CControlCase> {};

TEST_P(ControlHandlerTest, WritesThePendingStateThenCallsTheHandler) {
    const CControlCase& c = GetParam();
    winsim::addHostedService("Probe");
    winsim::startAsService("Probe");
    CProbeService service;
    service.m_controlsAccepted = 7;
    service.m_steps = {{SERVICE_RUNNING, 0, 0}};
    service.m_waitForFinish = true;
    CProcessMain process([&] { return RunWithoutOptions(service); });
    ASSERT_TRUE(winsim::waitForState("Probe", SERVICE_RUNNING));
    SERVICE_STATUS before = service.m_status;
    DWORD counterBefore = service.m_checkPoint;
    std::size_t reportsBefore = winsim::statusReports("Probe").size();

    ASSERT_EQ(0u, winsim::sendControl("Probe", c.control));

    DWORD expectedState = c.stateWritten != 0 ? c.stateWritten : before.dwCurrentState;
    EXPECT_EQ(expectedState, service.m_status.dwCurrentState);
    for (int h = kOnStop; h <= kOnShutdown; ++h)
        EXPECT_EQ(h == c.handler ? 1 : 0, service.m_handlerCalls[h]) << "handler " << h;
    if (c.handler != kNone) {
        EXPECT_EQ(expectedState, service.m_stateSeen[c.handler]);
    }
    auto reports = winsim::statusReports("Probe");
    ASSERT_EQ(reportsBefore + (c.reports ? 1 : 0), reports.size());
    if (c.reports) {
        EXPECT_EQ(Report(SERVICE_RUNNING, 7, 0, 3000), Describe(reports.back()));
    }
    EXPECT_EQ(counterBefore, service.m_checkPoint);

    service.Finish();
    EXPECT_NE(0, process.join());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ControlHandlerTest,
    ::testing::Values(CControlCase{"Zero", 0, kNone, 0, false},
                      CControlCase{"Stop", 1, kOnStop, SERVICE_STOP_PENDING, false},
                      CControlCase{"Pause", 2, kOnPause, SERVICE_PAUSE_PENDING, false},
                      CControlCase{"Continue", 3, kOnContinue, SERVICE_CONTINUE_PENDING, false},
                      CControlCase{"Interrogate", 4, kNone, 0, true},
                      CControlCase{"Shutdown", 5, kOnShutdown, 0, false},
                      CControlCase{"Six", 6, kNone, 0, false},
                      CControlCase{"Seven", 7, kNone, 0, false},
                      CControlCase{"UserDefined", 200, kNone, 0, false}),
    CRowName());

TEST_F(NTServiceTest, InterrogateWhilePendingAdvancesTheCheckPoint) {
    winsim::addHostedService("Probe");
    winsim::startAsService("Probe");
    CProbeService service;
    service.m_controlsAccepted = 7;
    service.m_steps = {{SERVICE_RUNNING, 0, 0}};
    service.m_waitForFinish = true;
    CProcessMain process([&] { return RunWithoutOptions(service); });
    ASSERT_TRUE(winsim::waitForState("Probe", SERVICE_RUNNING));

    // The probe's OnPause reports nothing, so the record keeps pause pending.
    ASSERT_EQ(0u, winsim::sendControl("Probe", SERVICE_CONTROL_PAUSE));
    ASSERT_EQ(0u, winsim::sendControl("Probe", SERVICE_CONTROL_INTERROGATE));

    EXPECT_EQ(Report(SERVICE_PAUSE_PENDING, 7, 2, 3000),
              Describe(winsim::statusReports("Probe").back()));
    service.Finish();
    EXPECT_NE(0, process.join());
}

} // namespace
