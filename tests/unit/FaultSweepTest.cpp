// Every simulated call an operation makes, made to fail in turn.
//
// Each scenario runs its operation once without faults and reads the calls
// it made from the simulation's call log. Then, for each of those calls, a
// fresh machine runs the operation again with exactly that call (the nth call
// of that function) failing. An expectation table, keyed by the failing
// function and its ordinal, gives the result, the console output and the
// state the operation must leave; a call the table does not name must be one
// whose failure the operation ignores. Every run must leave nothing open but
// what a failed release itself kept.
#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "BrisvelService.h"
#include "Fixture.h"
#include "LivenessMonitor.h"

namespace {

const char kService[] = "Ondrimar";
const char kApplication[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ondrimar";
const DWORD kInjected = ERROR_ACCESS_DENIED;

// Functions that cannot fail: they have no failure result to give.
const std::set<std::string> kCannotFail = {"Sleep",
                                           "InitializeCriticalSection",
                                           "DeleteCriticalSection",
                                           "GetTickCount",
                                           "GetLengthSid",
                                           "WSACleanup",
                                           "WSASetLastError"};

// Functions that release something: when they fail, what they were to
// release stays open.
const std::set<std::string> kReleases = {
    "CloseHandle", "CloseServiceHandle", "RegCloseKey",          "UnmapViewOfFile",
    "GlobalFree",  "LocalFree",          "DeregisterEventSource"};

// What a run must give. `state` is compared as a whole: each scenario puts
// into it the parts of the machine its operation may change.
struct Outcome {
    int result;
    std::string output;
    std::string state;
};

struct Scenario {
    const char* name;
    std::function<void()> setUp;
    std::function<int(CBrisvelService&)> run;
    std::function<std::string()> state;
    Outcome normal;
    // The outcome when the nth call of a function fails, where it differs
    // from the normal one. Keyed "Function#n", or "Function" for every n.
    std::map<std::string, Outcome> failures;
};

std::string Text() {
    return MessageText(kInjected);
}

std::string Bytes(const std::optional<winsim::RegValue>& value) {
    if (!value)
        return "(none)";
    std::string text = "type " + std::to_string(value->type) + " [";
    for (BYTE b : value->bytes)
        text += b == 0 ? std::string("\\0") : std::string(1, static_cast<char>(b));
    return text + "]";
}

std::string Registry() {
    return "Sources " + Bytes(winsim::regValue(kApplication, "Sources")) + "; message file " +
           Bytes(winsim::regValue(kSourceKey, "EventMessageFile")) + "; types " +
           Bytes(winsim::regValue(kSourceKey, "TypesSupported"));
}

std::string Records() {
    std::string text;
    for (const winsim::EventRecord& record : winsim::eventLog())
        text += "record " + std::to_string(record.type) + " " + record.strings.at(0) + "; ";
    return text;
}

std::string ServiceState() {
    if (!winsim::serviceExists(kService))
        return "service absent";
    return "service state " + std::to_string(winsim::serviceStatus(kService).dwCurrentState) +
           ", starts " + std::to_string(winsim::startRequests(kService));
}

std::string InstallState() {
    return (winsim::serviceExists(kService) ? "installed; " : "absent; ") + Registry() + "; " +
           Records();
}

std::string ListWith(const std::vector<std::string>& entries) {
    return Bytes(winsim::RegValue{REG_MULTI_SZ, winsim::multiSz(entries)});
}

// The registry part of InstallState for a given outcome.
std::string RegistryState(const std::vector<std::string>& sources, bool messageFile, bool types) {
    std::string path = "C:\\Brisvel\\brisvel.exe";
    std::vector<BYTE> file(path.begin(), path.end());
    file.push_back(0);
    return "Sources " + ListWith(sources) + "; message file " +
           (messageFile ? Bytes(winsim::RegValue{REG_EXPAND_SZ, file}) : std::string("(none)")) +
           "; types " + (types ? Bytes(winsim::RegValue{REG_DWORD, {7, 0, 0, 0}}) : "(none)");
}

void RegisterSource() {
    std::string path = "C:\\Brisvel\\brisvel.exe";
    std::vector<BYTE> file(path.begin(), path.end());
    file.push_back(0);
    winsim::regSetValue(kSourceKey, "EventMessageFile", REG_EXPAND_SZ, file);
    winsim::regSetValue(kSourceKey, "TypesSupported", REG_DWORD, {7, 0, 0, 0});
    winsim::regSetValue(kApplication, "Sources", REG_MULTI_SZ,
                        winsim::multiSz({"Alpha", kService}));
}

winsim::ServiceScript Script(DWORD startPolls, DWORD stopPolls) {
    winsim::ServiceScript script;
    script.startPendingPolls = startPolls;
    script.stopPendingPolls = stopPolls;
    script.controlsAccepted = SERVICE_ACCEPT_STOP;
    script.waitHint = 300;
    return script;
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> all;

    // ---------------------------------------------------------- Install
    {
        const std::string installed = "installed; " +
                                      RegistryState({"Alpha", kService}, true, true) +
                                      "; record 4 Service installed; ";
        const std::string untouched = "absent; " + RegistryState({"Alpha"}, false, false) + "; ";
        const std::string noRecord =
            "installed; " + RegistryState({"Alpha", kService}, true, true) + "; ";
        Scenario s{"Install",
                   [] {
                       winsim::regSetValue(kApplication, "Sources", REG_MULTI_SZ,
                                           winsim::multiSz({"Alpha"}));
                   },
                   [](CBrisvelService& service) { return service.Install(); },
                   InstallState,
                   {1, "Ondrimar installed.\n", installed},
                   {}};
        s.failures["GetModuleFileNameA"] = {0, "Unable to install Ondrimar - " + Text() + "\n",
                                            untouched};
        s.failures["OpenSCManagerA"] = {0, "OpenSCManager failed - " + Text() + "\n", untouched};
        s.failures["CreateServiceA"] = {0, "CreateService failed - " + Text() + "\n", untouched};
        // The source key cannot be made: its values are missing, the list is
        // still updated.
        s.failures["RegCreateKeyA"] = {1, "Ondrimar installed.\n",
                                       "installed; " +
                                           RegistryState({"Alpha", kService}, false, false) +
                                           "; record 4 Service installed; "};
        s.failures["RegSetValueExA#1"] = {1, "Ondrimar installed.\n",
                                          "installed; " +
                                              RegistryState({"Alpha", kService}, false, true) +
                                              "; record 4 Service installed; "};
        s.failures["RegSetValueExA#2"] = {1, "Ondrimar installed.\n",
                                          "installed; " +
                                              RegistryState({"Alpha", kService}, true, false) +
                                              "; record 4 Service installed; "};
        const Outcome listUnchanged{1, "Ondrimar installed.\n",
                                    "installed; " + RegistryState({"Alpha"}, true, true) +
                                        "; record 4 Service installed; "};
        s.failures["RegSetValueExA#3"] = listUnchanged;
        s.failures["RegOpenKeyExA"] = listUnchanged;
        s.failures["RegQueryValueExA"] = listUnchanged;
        s.failures["GlobalAlloc"] = listUnchanged;
        s.failures["RegisterEventSourceA"] = {1, "Ondrimar installed.\n", noRecord};
        s.failures["ReportEventA"] = {1, "Ondrimar installed.\n", noRecord};
        all.push_back(s);
    }

    // ---------------------------------------------------------- Uninstall
    {
        const std::string removed = "absent; " + RegistryState({"Alpha"}, false, false) + "; ";
        const std::string stopping = "Stopping Ondrimar..\nOndrimar stopped.\n";
        Scenario s{"Uninstall",
                   [] {
                       winsim::addScriptedService(kService, Script(0, 1), SERVICE_RUNNING);
                       RegisterSource();
                   },
                   [](CBrisvelService& service) { return service.Uninstall(); },
                   InstallState,
                   {1, stopping + "Ondrimar removed.\n", removed},
                   {}};
        const std::string kept = RegistryState({"Alpha", kService}, true, true) + "; ";
        s.failures["OpenSCManagerA"] = {0, "OpenSCManager failed - " + Text() + "\n",
                                        "installed; " + kept};
        s.failures["OpenServiceA"] = {0, "OpenService failed - " + Text() + "\n",
                                      "installed; " + kept};
        // A refused stop prints nothing; the service is deleted all the same,
        // and leaves the database once it stops.
        s.failures["ControlService"] = {1, "Ondrimar removed.\n",
                                        "installed; " + RegistryState({"Alpha"}, false, false) +
                                            "; "};
        // A failed query ends the wait on the state last received.
        // The service is still stopping: deleted, it stays listed until it stops.
        const std::string stillStopping =
            "installed; " + RegistryState({"Alpha"}, false, false) + "; ";
        s.failures["QueryServiceStatus#1"] = {
            1, "Stopping Ondrimar.\nOndrimar failed to stop.\nOndrimar removed.\n", stillStopping};
        s.failures["QueryServiceStatus#2"] = {
            1, "Stopping Ondrimar..\nOndrimar failed to stop.\nOndrimar removed.\n", stillStopping};
        s.failures["DeleteService"] = {0, stopping + "DeleteService failed - " + Text() + "\n",
                                       "installed; " + kept};
        // A service marked for deletion stays until its last handle is closed.
        s.failures["CloseServiceHandle#1"] = {1, stopping + "Ondrimar removed.\n",
                                              "installed; " +
                                                  RegistryState({"Alpha"}, false, false) + "; "};
        s.failures["RegDeleteKeyA"] = {1, stopping + "Ondrimar removed.\n",
                                       "absent; " + RegistryState({"Alpha"}, true, true) + "; "};
        const Outcome listUnchanged{1, stopping + "Ondrimar removed.\n",
                                    "absent; " + RegistryState({"Alpha", kService}, false, false) +
                                        "; "};
        s.failures["RegOpenKeyExA"] = listUnchanged;
        s.failures["RegQueryValueExA"] = listUnchanged;
        s.failures["GlobalAlloc"] = listUnchanged;
        s.failures["RegSetValueExA"] = listUnchanged;
        all.push_back(s);
    }

    // ---------------------------------------------------------- StartInstalled
    {
        Scenario s{"StartInstalled",
                   [] { winsim::addScriptedService(kService, Script(1, 0), SERVICE_STOPPED); },
                   [](CBrisvelService& service) { return service.StartInstalled(); },
                   ServiceState,
                   {1, "Starting up Ondrimar..\nOndrimar started.\n", "service state 4, starts 1"},
                   {}};
        s.failures["OpenSCManagerA"] = {0, "OpenSCManager failed - " + Text() + "\n",
                                        "service state 1, starts 0"};
        s.failures["OpenServiceA"] = {0, "OpenService failed - " + Text() + "\n",
                                      "service state 1, starts 0"};
        // A request failed on the way never reaches the service.
        s.failures["StartServiceA"] = {
            0, "Starting up Ondrimar.\nOndrimar failed to start: " + Text() + "\n",
            "service state 1, starts 0"};
        // The first query fails: nothing was stored, and the initial state is
        // not running.
        s.failures["QueryServiceStatus#1"] = {
            0, "Starting up Ondrimar.\nOndrimar failed to start.\n", "service state 2, starts 1"};
        s.failures["QueryServiceStatus#2"] = {
            0, "Starting up Ondrimar..\nOndrimar failed to start.\n", "service state 2, starts 1"};
        all.push_back(s);
    }

    // ---------------------------------------------------------- StopInstalled
    {
        Scenario s{"StopInstalled",
                   [] { winsim::addScriptedService(kService, Script(0, 1), SERVICE_RUNNING); },
                   [](CBrisvelService& service) { return service.StopInstalled(); },
                   ServiceState,
                   {1, "Stopping Ondrimar..\nOndrimar stopped.\n", "service state 1, starts 0"},
                   {}};
        s.failures["OpenSCManagerA"] = {0, "OpenSCManager failed - " + Text() + "\n",
                                        "service state 4, starts 0"};
        s.failures["OpenServiceA"] = {0, "OpenService failed - " + Text() + "\n",
                                      "service state 4, starts 0"};
        s.failures["ControlService"] = {0, "", "service state 4, starts 0"};
        s.failures["QueryServiceStatus#1"] = {0, "Stopping Ondrimar.\nOndrimar failed to stop.\n",
                                              "service state 3, starts 0"};
        s.failures["QueryServiceStatus#2"] = {0, "Stopping Ondrimar..\nOndrimar failed to stop.\n",
                                              "service state 3, starts 0"};
        all.push_back(s);
    }

    // ---------------------------------------------------------- EnsureMonitoredRunning
    {
        Scenario s{"EnsureMonitoredRunning",
                   [] { winsim::addScriptedService(kService, Script(1, 0), SERVICE_STOPPED); },
                   [](CBrisvelService&) {
                       EnsureMonitoredRunning();
                       return 0;
                   },
                   ServiceState,
                   {0, "", "service state 4, starts 2"},
                   {}};
        const Outcome nothing{0, "", "service state 1, starts 0"};
        s.failures["OpenSCManagerA"] = nothing;
        s.failures["OpenServiceA"] = nothing;
        // The query fails and the interrogation of a stopped service too.
        s.failures["QueryServiceStatus"] = nothing;
        // A request failed on the way never reaches the service; a failed
        // request inside the retry loop is ignored.
        s.failures["StartServiceA#1"] = {0, "", "service state 1, starts 0"};
        s.failures["StartServiceA#2"] = {0, "", "service state 4, starts 1"};
        // The first interrogation fails: the record still says stopped, and
        // the loop goes on until the service reports running.
        // A failed interrogation does not reach the service, so one more
        // round of the loop is needed.
        s.failures["ControlService#1"] = {0, "", "service state 4, starts 3"};
        s.failures["ControlService#2"] = {0, "", "service state 4, starts 3"};
        all.push_back(s);
    }

    // ---------------------------------------------------------- LiveCheck
    {
        Scenario s{"LiveCheck",
                   [] { winsim::setSection("Ondrimar_LiveCheck", std::string("1\0", 2)); },
                   [](CBrisvelService&) { return LiveCheck() ? 1 : 0; },
                   [] { return std::string(); },
                   {1, "", ""},
                   {}};
        s.failures["OpenFileMappingA"] = {0, "", ""};
        s.failures["MapViewOfFile"] = {0, "", ""};
        all.push_back(s);
    }

    // ---------------------------------------------------------- AddEventSource
    {
        Scenario s{"AddEventSource",
                   [] {
                       winsim::regSetValue(kApplication, "Sources", REG_MULTI_SZ,
                                           winsim::multiSz({"Alpha"}));
                   },
                   [](CBrisvelService& service) {
                       return service.AddEventSource("C:\\Brisvel\\brisvel.exe", 7);
                   },
                   Registry,
                   {0, "", RegistryState({"Alpha", kService}, true, true)},
                   {}};
        s.failures["RegCreateKeyA"] = {0, "", RegistryState({"Alpha", kService}, false, false)};
        s.failures["RegSetValueExA#1"] = {0, "", RegistryState({"Alpha", kService}, false, true)};
        s.failures["RegSetValueExA#2"] = {0, "", RegistryState({"Alpha", kService}, true, false)};
        s.failures["RegSetValueExA#3"] = {0, "", RegistryState({"Alpha"}, true, true)};
        s.failures["RegOpenKeyExA"] = {static_cast<int>(kInjected), "",
                                       RegistryState({"Alpha"}, true, true)};
        s.failures["RegQueryValueExA"] = {0, "", RegistryState({"Alpha"}, true, true)};
        s.failures["GlobalAlloc"] = {0, "", RegistryState({"Alpha"}, true, true)};
        // The result is that of closing the Application key.
        s.failures["RegCloseKey#2"] = {static_cast<int>(kInjected), "",
                                       RegistryState({"Alpha", kService}, true, true)};
        all.push_back(s);
    }

    // ---------------------------------------------------------- RemoveEventSource
    {
        Scenario s{"RemoveEventSource",
                   RegisterSource,
                   [](CBrisvelService& service) { return service.RemoveEventSource(); },
                   Registry,
                   {0, "", RegistryState({"Alpha"}, false, false)},
                   {}};
        s.failures["RegDeleteKeyA"] = {0, "", RegistryState({"Alpha"}, true, true)};
        const Outcome listUnchanged{0, "", RegistryState({"Alpha", kService}, false, false)};
        s.failures["RegOpenKeyExA"] = {static_cast<int>(kInjected), "",
                                       RegistryState({"Alpha", kService}, false, false)};
        s.failures["RegQueryValueExA"] = listUnchanged;
        s.failures["GlobalAlloc"] = listUnchanged;
        s.failures["RegSetValueExA"] = listUnchanged;
        s.failures["RegCloseKey"] = {static_cast<int>(kInjected), "",
                                     RegistryState({"Alpha"}, false, false)};
        all.push_back(s);
    }
    return all;
}

struct RunResult {
    int result;
    std::string output;
    std::string state;
    std::vector<std::string> calls;
    std::size_t open;
    std::vector<std::string> misuse;
};

// Runs the scenario on a fresh machine, with the nth call of `function`
// failing when `function` is not empty.
RunResult RunOnce(const Scenario& scenario, const std::string& function, unsigned nth) {
    winsim::reset();
    scenario.setUp();
    RunResult run;
    {
        CBrisvelService service;
        winsim::clearCalls();
        if (!function.empty()) {
            // Calls count from the machine's start; the constructor's calls
            // come before the operation's.
            unsigned before = static_cast<unsigned>(winsim::callCount(function));
            winsim::failCall(function, kInjected, before + nth);
        }
        testing::internal::CaptureStdout();
        run.result = scenario.run(service);
        run.output = testing::internal::GetCapturedStdout();
        run.calls = winsim::calls();
        // The service object's own SID copy is released with it, below.
        run.open = winsim::openHandles() - winsim::openHandles(winsim::Kind::LocalMemory);
    }
    run.open += winsim::openHandles(winsim::Kind::LocalMemory);
    run.state = scenario.state();
    run.misuse = winsim::handleErrors();
    return run;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {
protected:
    void TearDown() override { winsim::reset(); }
};

TEST_P(FaultSweep, EveryCallFailingGivesItsOutcomeAndLeavesNothingOpen) {
    const Scenario& scenario = GetParam();
    RunResult normal = RunOnce(scenario, "", 0);
    ASSERT_EQ(scenario.normal.result, normal.result);
    ASSERT_EQ(scenario.normal.output, normal.output);
    ASSERT_EQ(scenario.normal.state, normal.state);
    ASSERT_EQ(0u, normal.open);

    std::map<std::string, unsigned> seen;
    std::size_t runs = 0;
    std::set<std::string> used;
    for (const std::string& function : normal.calls) {
        unsigned nth = ++seen[function];
        if (kCannotFail.count(function) != 0)
            continue;
        std::string key = function + "#" + std::to_string(nth);
        SCOPED_TRACE(scenario.name + std::string(" with ") + key + " failing");
        const Outcome* expected = &scenario.normal;
        for (const std::string& name : {key, function}) {
            auto it = scenario.failures.find(name);
            if (it != scenario.failures.end()) {
                expected = &it->second;
                used.insert(name);
                break;
            }
        }
        RunResult run = RunOnce(scenario, function, nth);
        ++runs;
        EXPECT_EQ(expected->result, run.result);
        EXPECT_EQ(expected->output, run.output);
        EXPECT_EQ(expected->state, run.state);
        EXPECT_EQ(kReleases.count(function) != 0 ? 1u : 0u, run.open)
            << "only what a failed release kept may stay open";
        EXPECT_EQ(std::vector<std::string>(), run.misuse);
    }
    // An expectation that no run used names a call the operation no longer
    // makes: the table is out of date.
    for (const auto& [name, outcome] : scenario.failures)
        EXPECT_EQ(1u, used.count(name)) << name << " was never failed";
    std::cout << "fault sweep: " << scenario.name << ": " << runs << " runs, one for each of "
              << normal.calls.size() << " calls (" << normal.calls.size() - runs
              << " that cannot fail)" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return info.param.name;
                         });

} // namespace
