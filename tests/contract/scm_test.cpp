// The service manager as the product relies on it: creating, opening,
// starting, stopping, deleting and querying services with their error codes;
// the controls it refuses, and which ones reach the service's handler; the
// status record, check point and wait hint included, that it returns after
// each kind of report; and the dispatcher's side of a service process.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "test_service.h"

namespace contract {
namespace {

// A status record filled with a pattern no call would leave, so a check can
// tell whether a call wrote it.
SERVICE_STATUS Unwritten() {
    SERVICE_STATUS status;
    std::memset(&status, 0xCC, sizeof status);
    return status;
}

SOutcome<BOOL> Succeeds() {
    return Outcome<BOOL>(TRUE, kPoison);
}

SOutcome<BOOL> Fails(DWORD error) {
    return Outcome<BOOL>(FALSE, error);
}

SOutcome<SC_HANDLE> NoHandle(DWORD error) {
    return Outcome<SC_HANDLE>(nullptr, error);
}

const DWORD kStopPause = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
const DWORD kUserControl = 128;

// A service that never ran: stopped, with the never-started exit code.
const SERVICE_STATUS kNeverStarted = Status(SERVICE_STOPPED, 0, 0, 0, ERROR_SERVICE_NEVER_STARTED);

class Scm : public CServiceTest {};

TEST_F(Scm, CreatedServiceIsStoppedAndCreatingItAgainIsExists) {
    ASSERT_NO_FATAL_FAILURE(Create());
    EXPECT_EQ(kPoison, m_createError) << "CreateServiceA leaves the last error on success";

    SERVICE_STATUS status = Unwritten();
    ASSERT_EQ(Succeeds(), POISONED(QueryServiceStatus(m_service, &status)));
    EXPECT_EQ(Describe(kNeverStarted), Describe(status));

    EXPECT_EQ(NoHandle(ERROR_SERVICE_EXISTS),
              POISONED(CreateServiceA(m_manager, m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                      SERVICE_ERROR_NORMAL, "C:\\absent.exe", nullptr, nullptr,
                                      nullptr, nullptr, nullptr)));
}

TEST_F(Scm, OpeningAMissingServiceIsDoesNotExistAndAnExistingOneLeavesTheError) {
    EXPECT_EQ(NoHandle(ERROR_SERVICE_DOES_NOT_EXIST),
              POISONED(OpenServiceA(m_manager, m_name.c_str(), SERVICE_ALL_ACCESS)));

    ASSERT_NO_FATAL_FAILURE(Create());
    // Service names ignore letter case.
    std::string upper = m_name;
    for (char& c : upper) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    auto opened = POISONED(OpenServiceA(m_manager, upper.c_str(), SERVICE_ALL_ACCESS));
    EXPECT_EQ(kPoison, opened.lastError);
    ASSERT_NE(nullptr, opened.result);
    EXPECT_EQ(Succeeds(), POISONED(CloseServiceHandle(opened.result)));
}

TEST_F(Scm, DeletedServiceIsGoneOnceItsLastHandleIsClosed) {
    ASSERT_NO_FATAL_FAILURE(Create());
    SC_HANDLE second = OpenServiceA(m_manager, m_name.c_str(), SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, second);

    EXPECT_EQ(Succeeds(), POISONED(DeleteService(m_service)));
    EXPECT_EQ(Fails(ERROR_SERVICE_MARKED_FOR_DELETE), POISONED(DeleteService(second)));
    EXPECT_EQ(NoHandle(ERROR_SERVICE_MARKED_FOR_DELETE),
              POISONED(CreateServiceA(m_manager, m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                      SERVICE_ERROR_NORMAL, "C:\\absent.exe", nullptr, nullptr,
                                      nullptr, nullptr, nullptr)));

    EXPECT_EQ(Succeeds(), POISONED(CloseServiceHandle(second)));
    EXPECT_EQ(Succeeds(), POISONED(CloseServiceHandle(m_service)));
    m_service = nullptr;
    EXPECT_EQ(NoHandle(ERROR_SERVICE_DOES_NOT_EXIST),
              POISONED(OpenServiceA(m_manager, m_name.c_str(), SERVICE_ALL_ACCESS)));
}

TEST_F(Scm, StartedServiceShowsItsFirstReportAndStartingAgainIsAlreadyRunning) {
    ASSERT_NO_FATAL_FAILURE(Create());
    const SERVICE_STATUS first = Status(SERVICE_START_PENDING, 0, 1, 3000);
    ASSERT_NO_FATAL_FAILURE(Start(first));
    EXPECT_EQ(kPoison, m_startError) << "StartServiceA leaves the last error on success";
    EXPECT_EQ(Describe(first), Describe(Query()));

    EXPECT_EQ(Fails(ERROR_SERVICE_ALREADY_RUNNING), POISONED(StartServiceA(m_service, 0, nullptr)))
        << "while start pending";

    ASSERT_EQ(TRUE, Report(Status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0)));
    EXPECT_EQ(Fails(ERROR_SERVICE_ALREADY_RUNNING), POISONED(StartServiceA(m_service, 0, nullptr)))
        << "while running";
    EXPECT_EQ(std::vector<DWORD>(), Controls());
}

// The liveness monitor opens the manager for reading only, and the service
// with all access, and starts it through that handle.
TEST_F(Scm, ManagerOpenedForReadingGivesAServiceHandleThatStartsAndQueries) {
    ASSERT_NO_FATAL_FAILURE(Create());
    auto opened = POISONED(OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
    EXPECT_EQ(kPoison, opened.lastError);
    SC_HANDLE reader = opened.result;
    ASSERT_NE(nullptr, reader);
    SC_HANDLE service = OpenServiceA(reader, m_name.c_str(), SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, service);

    SERVICE_STATUS status = Unwritten();
    ASSERT_EQ(Succeeds(), POISONED(QueryServiceStatus(service, &status)));
    EXPECT_EQ(Describe(kNeverStarted), Describe(status));
    const SERVICE_STATUS running = Status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
    ASSERT_NO_FATAL_FAILURE(Start(running, service));
    status = Unwritten();
    ASSERT_EQ(Succeeds(), POISONED(QueryServiceStatus(service, &status)));
    EXPECT_EQ(Describe(running), Describe(status));

    EXPECT_EQ(Succeeds(), POISONED(CloseServiceHandle(service)));
    EXPECT_EQ(Succeeds(), POISONED(CloseServiceHandle(reader)));
}

TEST_F(Scm, ControlsToAServiceThatIsNotRunningAreNotActive) {
    ASSERT_NO_FATAL_FAILURE(Create());
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_INTERROGATE}) {
        SERVICE_STATUS status = Unwritten();
        EXPECT_EQ(Fails(ERROR_SERVICE_NOT_ACTIVE),
                  POISONED(ControlService(m_service, control, &status)))
            << control;
    }

    ASSERT_NO_FATAL_FAILURE(Start(Status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0)));
    ASSERT_NO_FATAL_FAILURE(ReportStopped(Status(SERVICE_STOPPED, 0, 0, 0)));
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_INTERROGATE}) {
        SERVICE_STATUS status = Unwritten();
        EXPECT_EQ(Fails(ERROR_SERVICE_NOT_ACTIVE),
                  POISONED(ControlService(m_service, control, &status)))
            << control;
    }
    EXPECT_EQ(std::vector<DWORD>(), Controls());
}

// ---------------------------------------------------------------- reports

struct ReportStep {
    SERVICE_STATUS report;
    // What an interrogation gives in that state: 0 when it reaches the
    // handler, or the error; either way the record holds the last report.
    DWORD interrogateError;
};

TEST_F(Scm, QueryAndInterrogateReturnExactlyTheLastReport) {
    const std::vector<ReportStep> steps = {
        {Status(SERVICE_START_PENDING, 0, 1, 3000), ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {Status(SERVICE_START_PENDING, 0, 2, 10), ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {Status(SERVICE_RUNNING, kStopPause, 0, 0), 0},
        // A state that is not pending keeps the check point and hint given.
        {Status(SERVICE_RUNNING, kStopPause, 7, 70), 0},
        {Status(SERVICE_RUNNING, kStopPause, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, 42), 0},
        {Status(SERVICE_PAUSE_PENDING, kStopPause, 3, 30), 0},
        {Status(SERVICE_PAUSED, kStopPause, 4, 0), 0},
        {Status(SERVICE_CONTINUE_PENDING, kStopPause, 5, 20), 0},
        {Status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0), 0},
        {Status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 6, 500),
         ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
    };
    ASSERT_NO_FATAL_FAILURE(Create());
    std::vector<DWORD> delivered;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const ReportStep& step = steps[i];
        SCOPED_TRACE("after " + Describe(step.report));
        if (i == 0) {
            ASSERT_NO_FATAL_FAILURE(Start(step.report));
        } else {
            DWORD error = 0;
            ASSERT_EQ(TRUE, Report(step.report, &error)) << error;
            EXPECT_EQ(kPoison, error) << "SetServiceStatus leaves the last error on success";
        }
        EXPECT_EQ(Describe(step.report), Describe(Query()));

        SERVICE_STATUS interrogated = Unwritten();
        auto outcome =
            POISONED(ControlService(m_service, SERVICE_CONTROL_INTERROGATE, &interrogated));
        if (step.interrogateError == 0) {
            EXPECT_EQ(Succeeds(), outcome);
            delivered.push_back(SERVICE_CONTROL_INTERROGATE);
        } else {
            EXPECT_EQ(Fails(step.interrogateError), outcome);
        }
        EXPECT_EQ(Describe(step.report), Describe(interrogated));
        EXPECT_EQ(delivered, Controls());
    }
    // The stopped report of a service that failed, as the product makes it:
    // stop still accepted and a wait hint.
    const SERVICE_STATUS stopped =
        Status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 3000, ERROR_SERVICE_SPECIFIC_ERROR, 9);
    ASSERT_NO_FATAL_FAILURE(ReportStopped(stopped));
    EXPECT_EQ(Describe(stopped), Describe(Query()));
}

// ---------------------------------------------------------------- controls

struct ControlCase {
    const char* name;
    SERVICE_STATUS state; // reported after a first start-pending report
    DWORD control;
    DWORD error; // 0: accepted and delivered to the handler
    // On refusal, whether the record is filled with the last report.
    bool filledOnRefusal;
};

void PrintTo(const ControlCase& row, std::ostream* out) {
    *out << row.name;
}

class ScmControl : public CServiceTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ScmControl, IsDeliveredOrRefusedWithItsError) {
    const ControlCase& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_NO_FATAL_FAILURE(Start(Status(SERVICE_START_PENDING, 0, 1, 1000)));
    if (row.state.dwCurrentState != SERVICE_START_PENDING) {
        ASSERT_EQ(TRUE, Report(row.state));
    }

    SERVICE_STATUS status = Unwritten();
    auto outcome = POISONED(ControlService(m_service, row.control, &status));
    if (row.error == 0) {
        EXPECT_EQ(Succeeds(), outcome);
        EXPECT_EQ(Describe(row.state), Describe(status));
        EXPECT_EQ(std::vector<DWORD>{row.control}, Controls());
    } else {
        EXPECT_EQ(Fails(row.error), outcome);
        if (row.filledOnRefusal) {
            EXPECT_EQ(Describe(row.state), Describe(status));
        }
        EXPECT_EQ(std::vector<DWORD>(), Controls()) << "a refused control reaches no handler";
    }
    EXPECT_EQ(Describe(row.state), Describe(Query())) << "a control changes no status by itself";
}

const SERVICE_STATUS kStartPending = Status(SERVICE_START_PENDING, 0, 1, 1000);
const SERVICE_STATUS kStopPending = Status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 2, 500);
const SERVICE_STATUS kRunningNone = Status(SERVICE_RUNNING, 0, 0, 0);
const SERVICE_STATUS kRunningStop = Status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
const SERVICE_STATUS kRunningAll =
    Status(SERVICE_RUNNING, kStopPause | SERVICE_ACCEPT_SHUTDOWN, 0, 0);
const SERVICE_STATUS kPaused = Status(SERVICE_PAUSED, kStopPause, 0, 0);

INSTANTIATE_TEST_SUITE_P(
    Controls, ScmControl,
    ::testing::Values(
        ControlCase{"StopWhileStartPending", kStartPending, SERVICE_CONTROL_STOP,
                    ERROR_INVALID_SERVICE_CONTROL, false},
        ControlCase{"InterrogateWhileStartPending", kStartPending, SERVICE_CONTROL_INTERROGATE,
                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL, true},
        ControlCase{"PauseWhileStartPending", kStartPending, SERVICE_CONTROL_PAUSE,
                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL, false},
        ControlCase{"UserControlWhileStartPending", kStartPending, kUserControl,
                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL, false},
        ControlCase{"StopWithNoControlsAccepted", kRunningNone, SERVICE_CONTROL_STOP,
                    ERROR_INVALID_SERVICE_CONTROL, false},
        ControlCase{"PauseWithoutPauseAccepted", kRunningStop, SERVICE_CONTROL_PAUSE,
                    ERROR_INVALID_SERVICE_CONTROL, false},
        ControlCase{"ContinueWithoutPauseAccepted", kRunningStop, SERVICE_CONTROL_CONTINUE,
                    ERROR_INVALID_SERVICE_CONTROL, false},
        ControlCase{"InterrogateWithNoControlsAccepted", kRunningNone, SERVICE_CONTROL_INTERROGATE,
                    0, false},
        ControlCase{"UserControlWithNoControlsAccepted", kRunningNone, kUserControl, 0, false},
        ControlCase{"StopAccepted", kRunningStop, SERVICE_CONTROL_STOP, 0, false},
        ControlCase{"PauseAccepted", kRunningAll, SERVICE_CONTROL_PAUSE, 0, false},
        ControlCase{"ContinueWhilePaused", kPaused, SERVICE_CONTROL_CONTINUE, 0, false},
        ControlCase{"ShutdownCannotBeSent", kRunningAll, SERVICE_CONTROL_SHUTDOWN,
                    ERROR_INVALID_PARAMETER, false},
        ControlCase{"StopWhileStopPending", kStopPending, SERVICE_CONTROL_STOP,
                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL, false},
        ControlCase{"InterrogateWhileStopPending", kStopPending, SERVICE_CONTROL_INTERROGATE,
                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL, true}),
    [](const ::testing::TestParamInfo<ControlCase>& info) { return info.param.name; });

// The product's handler reports the pending state itself before it
// returns; the caller of ControlService gets that report.
TEST_F(Scm, ReportMadeByTheHandlerIsWhatControlServiceReturns) {
    ASSERT_NO_FATAL_FAILURE(Create());
    const SERVICE_STATUS stopping = Status(SERVICE_STOP_PENDING, 0, 1, 500);
    Mailbox().onControl = stopping;
    ASSERT_NO_FATAL_FAILURE(Start(kRunningStop));

    SERVICE_STATUS status = Unwritten();
    EXPECT_EQ(Succeeds(), POISONED(ControlService(m_service, SERVICE_CONTROL_STOP, &status)));
    EXPECT_EQ(Describe(stopping), Describe(status));
    EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_STOP}, Controls());
    EXPECT_EQ(TRUE, Mailbox().controlReportResult);
    EXPECT_EQ(kPoison, Mailbox().controlReportError);
    EXPECT_EQ(Describe(stopping), Describe(Query()));

    EXPECT_EQ(Fails(ERROR_SERVICE_ALREADY_RUNNING), POISONED(StartServiceA(m_service, 0, nullptr)))
        << "while stop pending";
}

TEST_F(Scm, StoppedServiceStartsAgain) {
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_NO_FATAL_FAILURE(Start(kRunningStop));
    ASSERT_NO_FATAL_FAILURE(ReportStopped(Status(SERVICE_STOPPED, 0, 0, 0)));
    ASSERT_NO_FATAL_FAILURE(Start(kStartPending));
    EXPECT_EQ(Describe(kStartPending), Describe(Query()));
    EXPECT_EQ(2u, LoadAcquire(&Mailbox().mainCalls));
}

// ---------------------------------------------------------------- the dispatcher

TEST_F(Scm, ServiceMainGetsTheNameAndTheDispatcherReturnsAfterStopped) {
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_NO_FATAL_FAILURE(Start(kStartPending));
    const SMailbox& m = Mailbox();
    EXPECT_EQ(1u, LoadAcquire(&m.mainCalls));
    EXPECT_EQ(1u, m.mainArgc);
    EXPECT_EQ(m_name, std::string(m.mainArg0));
    EXPECT_EQ(TRUE, m.registered);
    EXPECT_EQ(kPoison, m.registerError);
    EXPECT_EQ(0u, LoadAcquire(&m.dispatcherReturns));

    ASSERT_NO_FATAL_FAILURE(ReportStopped(Status(SERVICE_STOPPED, 0, 0, 0)));
    ASSERT_TRUE(WaitFor([&] { return LoadAcquire(&m.dispatcherReturns) == 1; }));
    EXPECT_EQ(TRUE, m.dispatcherResult);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), m.dispatcherError)
        << "the dispatcher clears the last error when it returns after stopped";
}

void WINAPI UnusedServiceMain(DWORD, LPSTR*) {
    ADD_FAILURE() << "a dispatcher that failed ran the service";
}

// Under Wine the failure comes only after about ten seconds.
TEST(Dispatcher, StartedFromAPromptFailsToConnect) {
    char name[] = "BrisvelContract_Prompt";
    SERVICE_TABLE_ENTRYA table[] = {{name, UnusedServiceMain}, {nullptr, nullptr}};
    EXPECT_EQ(Fails(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT),
              POISONED(StartServiceCtrlDispatcherA(table)));
}

// ---------------------------------------------------------------- beyond Wine

TEST_F(Scm, ShutdownReachesTheHandlerOnlyWhenAccepted) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine never delivers the shutdown control: ControlService refuses it "
                        "and the end of a Wine session does not notify its services";
    }
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_NO_FATAL_FAILURE(Start(kRunningAll));
    EXPECT_EQ(0u, SendShutdown(m_name));
    EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_SHUTDOWN}, Controls());

    ASSERT_EQ(TRUE, Report(kRunningStop));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), SendShutdown(m_name));
    EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_SHUTDOWN}, Controls());
}

TEST_F(Scm, KilledServiceIsSeenStoppedAndStartsAgain) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine's service manager never notices that a service process died: "
                        "the service stays running for it, and its controls fail with 232";
    }
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_NO_FATAL_FAILURE(Start(kRunningStop));
    KillServiceProcess(m_name);
    m_processRunning = false;

    EXPECT_EQ(Describe(Status(SERVICE_STOPPED, 0, 0, 0, ERROR_PROCESS_ABORTED)), Describe(Query()));
    SERVICE_STATUS status = Unwritten();
    EXPECT_EQ(Fails(ERROR_SERVICE_NOT_ACTIVE),
              POISONED(ControlService(m_service, SERVICE_CONTROL_STOP, &status)));

    ASSERT_NO_FATAL_FAILURE(Start(kStartPending));
    EXPECT_EQ(Describe(kStartPending), Describe(Query()));
}

} // namespace
} // namespace contract
