// Installing and removing the service: the settings the Service Control
// Manager receives, the event source and the "Service installed" record,
// every console message in its order, the Windows 9x "RunServices" value,
// and no handle, key or block left open on any path.
#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "Fixture.h"
#include "NTService.h"

namespace {

typedef std::vector<BYTE> Bytes;

const char kServiceName[] = "Ondrimar";
// Differs from the service name, so a message that prints the wrong one shows.
const char kDisplayName[] = "Ondrimar Watchdog";
const char kApplicationKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ondrimar";
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char kDefaultPath[] = "C:\\Brisvel\\brisvel.exe";
const char kSpacedPath[] = "C:\\Program Files\\Brisvel Test\\brisvel.exe";

// A text with its terminating zero, as a string value stores it.
Bytes WithNul(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

Bytes DwordBytes(DWORD value) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    return Bytes(p, p + sizeof(value));
}

// A module path of exactly `length` characters.
std::string PathOfLength(size_t length) {
    std::string path = "C:\\";
    path.append(length - path.size() - 4, 'b');
    return path + ".exe";
}

// Records the calls Install and Uninstall make through virtual dispatch,
// and what the registry held when the record was written.
class CInstallProbe : public CNTService {
public:
    CInstallProbe() : CNTService(kServiceName, kDisplayName) {}
    BOOL Execute(DWORD, LPSTR*) override { return TRUE; }
    BOOL OnStop() override { return TRUE; }

    LONG AddEventSource(LPCSTR messageFile, DWORD typesSupported) override {
        m_added.push_back(messageFile);
        m_addedTypes.push_back(typesSupported);
        return CNTService::AddEventSource(messageFile, typesSupported);
    }
    LONG RemoveEventSource() override {
        ++m_removeCalls;
        return CNTService::RemoveEventSource();
    }
    void LogEvent(LPCSTR text, WORD eventType, DWORD eventId) override {
        m_loggedIds.push_back(eventId);
        m_fileAtLog = winsim::regValue(kSourceKey, "EventMessageFile");
        m_sourcesAtLog = winsim::regValue(kApplicationKey, "Sources");
        CNTService::LogEvent(text, eventType, eventId);
    }

    std::vector<std::string> m_added;
    std::vector<DWORD> m_addedTypes;
    int m_removeCalls = 0;
    std::vector<DWORD> m_loggedIds;
    std::optional<winsim::RegValue> m_fileAtLog;
    std::optional<winsim::RegValue> m_sourcesAtLog;
};

struct CRun {
    BOOL result;
    std::string output;
};

// Runs one console action with standard output captured.
CRun Captured(const std::function<BOOL()>& action) {
    ::testing::internal::CaptureStdout();
    BOOL result = action();
    return CRun{result, ::testing::internal::GetCapturedStdout()};
}

// HandleCommandLine with the given options after the program name.
BOOL RunOptions(CNTService& service, std::vector<std::string> options) {
    options.insert(options.begin(), "brisvel.exe");
    std::vector<char*> argv;
    for (std::string& option : options)
        argv.push_back(&option[0]);
    argv.push_back(NULL);
    return service.HandleCommandLine(static_cast<int>(options.size()), argv.data());
}

std::vector<std::string> Only(const std::vector<std::string>& calls,
                              const std::set<std::string>& names) {
    std::vector<std::string> kept;
    for (const std::string& call : calls)
        if (names.count(call) != 0)
            kept.push_back(call);
    return kept;
}

void ExpectSourceRegistered(const std::string& messageFile) {
    auto file = winsim::regValue(kSourceKey, "EventMessageFile");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), file->type);
    EXPECT_EQ(WithNul(messageFile), file->bytes);
    auto types = winsim::regValue(kSourceKey, "TypesSupported");
    ASSERT_TRUE(types.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), types->type);
    EXPECT_EQ(DwordBytes(7), types->bytes);
}

void ExpectSources(const std::vector<std::string>& entries) {
    auto sources = winsim::regValue(kApplicationKey, "Sources");
    ASSERT_TRUE(sources.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), sources->type);
    EXPECT_EQ(winsim::multiSz(entries), sources->bytes);
}

// The source as an earlier install left it, between two other sources.
void RegisterSourceBefore() {
    winsim::regSetValue(kSourceKey, "EventMessageFile", REG_EXPAND_SZ, WithNul(kDefaultPath));
    winsim::regSetValue(kSourceKey, "TypesSupported", REG_DWORD, DwordBytes(7));
    winsim::regSetValue(kApplicationKey, "Sources", REG_MULTI_SZ,
                        winsim::multiSz({"Alpha", kServiceName, "Beta"}));
}

void ExpectSourceLeft() {
    ExpectSourceRegistered(kDefaultPath);
    ExpectSources({"Alpha", kServiceName, "Beta"});
}

// ---------------------------------------------------------------- Install on NT

struct CInstallCase {
    const char* name;
    std::string modulePath;
    std::vector<std::string> options;
    std::optional<std::string> account;
    std::optional<std::string> password;
};

void PrintTo(const CInstallCase& row, std::ostream* out) {
    *out << row.name;
}

class InstallTest : public CWinsimTest, public ::testing::WithParamInterface<CInstallCase> {};

TEST_P(InstallTest, CreatesTheServiceRegistersTheSourceThenWritesTheRecord) {
    const CInstallCase& c = GetParam();
    winsim::setModuleFileName(c.modulePath);
    winsim::regSetValue(kApplicationKey, "Sources", REG_MULTI_SZ,
                        winsim::multiSz({"Application Error", "Wine"}));
    {
        CInstallProbe service;
        winsim::clearCalls();

        CRun run = Captured([&] { return RunOptions(service, c.options); });

        EXPECT_EQ(1, run.result);
        EXPECT_EQ(std::string(kDisplayName) + " installed.\n", run.output);

        auto config = winsim::serviceConfig(kServiceName);
        ASSERT_TRUE(config.has_value());
        EXPECT_EQ(kServiceName, config->name);
        EXPECT_EQ(kDisplayName, config->displayName);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ALL_ACCESS), config->desiredAccess);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->serviceType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->startType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->errorControl);
        EXPECT_EQ("\"" + c.modulePath + "\"", config->binaryPath);
        EXPECT_EQ(std::nullopt, config->loadOrderGroup);
        EXPECT_FALSE(config->tagRequested);
        EXPECT_EQ(std::nullopt, config->dependencies);
        EXPECT_EQ(c.account, config->account);
        EXPECT_EQ(c.password, config->password);

        // The message file is the plain path, not the quoted command line.
        EXPECT_EQ(std::vector<std::string>{c.modulePath}, service.m_added);
        EXPECT_EQ(std::vector<DWORD>{7}, service.m_addedTypes);
        ExpectSourceRegistered(c.modulePath);
        ExpectSources({"Application Error", "Wine", kServiceName});

        // One information record with the type's default identifier, written
        // once the source was complete.
        EXPECT_EQ(std::vector<DWORD>{0xFFFFFFFFu}, service.m_loggedIds);
        auto log = winsim::eventLog();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(kServiceName, log[0].source);
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, log[0].type);
        EXPECT_EQ(0, log[0].category);
        EXPECT_EQ(0x40000000u, log[0].id);
        EXPECT_EQ(std::vector<std::string>{"Service installed"}, log[0].strings);
        EXPECT_EQ(winsim::userSid(), log[0].userSid);
        ASSERT_TRUE(service.m_fileAtLog.has_value());
        EXPECT_EQ(WithNul(c.modulePath), service.m_fileAtLog->bytes);
        ASSERT_TRUE(service.m_sourcesAtLog.has_value());
        EXPECT_EQ(winsim::multiSz({"Application Error", "Wine", kServiceName}),
                  service.m_sourcesAtLog->bytes);

        // The console first; both SCM handles closed before the source is
        // registered; the record last.
        EXPECT_EQ((std::vector<std::string>{"AllocConsole", "GetModuleFileNameA", "OpenSCManagerA",
                                            "CreateServiceA", "CloseServiceHandle",
                                            "CloseServiceHandle", "RegCreateKeyA", "RegOpenKeyExA",
                                            "RegisterEventSourceA", "ReportEventA"}),
                  Only(winsim::calls(), {"AllocConsole", "GetModuleFileNameA", "OpenSCManagerA",
                                         "CreateServiceA", "CloseServiceHandle", "RegCreateKeyA",
                                         "RegOpenKeyExA", "RegisterEventSourceA", "ReportEventA"}));
    }
    EXPECT_EQ(0u, winsim::openHandles());
}

INSTANTIATE_TEST_SUITE_P(
    Settings, InstallTest,
    ::testing::Values(
        CInstallCase{"LocalSystem", kDefaultPath, {"-i"}, std::nullopt, std::nullopt},
        CInstallCase{"PathWithSpaces", kSpacedPath, {"-i"}, std::nullopt, std::nullopt},
        CInstallCase{"AccountAndPassword",
                     kSpacedPath,
                     {"-l", ".\\svc watch", "-p", "pa ss\"word", "-i"},
                     std::string(".\\svc watch"),
                     std::string("pa ss\"word")},
        CInstallCase{"AccountOnly",
                     kDefaultPath,
                     {"-i", "-lDOMAIN\\alice"},
                     std::string("DOMAIN\\alice"),
                     std::nullopt},
        CInstallCase{"EmptyPassword",
                     kDefaultPath,
                     {"-l", "bob", "-p", "", "-i"},
                     std::string("bob"),
                     std::string("")},
        // The longest path the 1023 bytes offered hold with its terminator.
        CInstallCase{"LongestPath", PathOfLength(1022), {"-i"}, std::nullopt, std::nullopt}),
    CRowName());

// Only drivers started at boot or by the system get a tag.
struct CTagCase {
    const char* name;
    DWORD serviceType;
    DWORD startType;
    bool tagged;
};

void PrintTo(const CTagCase& row, std::ostream* out) {
    *out << row.name;
}

class InstallTagTest : public CWinsimTest, public ::testing::WithParamInterface<CTagCase> {};

TEST_P(InstallTagTest, AsksForATagOnlyForBootAndSystemDrivers) {
    const CTagCase& c = GetParam();
    {
        CInstallProbe service;
        service.m_serviceType = c.serviceType;
        service.m_startType = c.startType;
        service.m_loadOrderGroup = "Base";
        service.m_dependencies = "RpcSs\0Tcpip\0";
        CRun run = Captured([&] { return service.Install(); });
        EXPECT_EQ(1, run.result);
    }
    auto config = winsim::serviceConfig(kServiceName);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(c.tagged, config->tagRequested);
    EXPECT_EQ(c.serviceType, config->serviceType);
    EXPECT_EQ(c.startType, config->startType);
    EXPECT_EQ(std::optional<std::string>("Base"), config->loadOrderGroup);
    EXPECT_EQ(std::optional<std::string>(std::string("RpcSs\0Tcpip\0", 12)), config->dependencies);
    EXPECT_EQ(0u, winsim::openHandles());
}

INSTANTIATE_TEST_SUITE_P(
    Types, InstallTagTest,
    ::testing::Values(
        CTagCase{"OwnProcessBoot", SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, false},
        CTagCase{"KernelDriverBoot", SERVICE_KERNEL_DRIVER, SERVICE_BOOT_START, true},
        CTagCase{"FileSystemDriverSystem", SERVICE_FILE_SYSTEM_DRIVER, SERVICE_SYSTEM_START, true},
        CTagCase{"KernelDriverAuto", SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, false}),
    CRowName());

// ---------------------------------------------------------------- Install failures

// A code the system has no text for.
const DWORD kNoText = 0xFFFFFFFFu;

struct CInstallFailure {
    const char* name;
    std::function<void()> setUp;
    const char* prefix; // the message up to the system's text
    DWORD error;        // whose text follows (kNoText: none)
    bool serviceExistsBefore;
};

void PrintTo(const CInstallFailure& row, std::ostream* out) {
    *out << row.name;
}

class InstallFailureTest : public CWinsimTest,
                           public ::testing::WithParamInterface<CInstallFailure> {};

TEST_P(InstallFailureTest, PrintsTheSystemTextAndChangesNothing) {
    const CInstallFailure& c = GetParam();
    winsim::regSetValue(kApplicationKey, "Sources", REG_MULTI_SZ, winsim::multiSz({"Alpha"}));
    if (c.serviceExistsBefore)
        winsim::addScriptedService(kServiceName, winsim::ServiceScript{});
    c.setUp();
    {
        CInstallProbe service;
        CRun run = Captured([&] { return service.Install(); });

        EXPECT_EQ(0, run.result);
        EXPECT_EQ(c.prefix + MessageText(c.error) + "\n", run.output);
        EXPECT_TRUE(service.m_added.empty());
        EXPECT_TRUE(service.m_loggedIds.empty());
    }
    EXPECT_FALSE(winsim::regKeyExists(kSourceKey));
    ExpectSources({"Alpha"});
    EXPECT_TRUE(winsim::eventLog().empty());
    EXPECT_EQ(c.serviceExistsBefore, winsim::serviceExists(kServiceName));
    if (c.serviceExistsBefore) {
        // The service that was there keeps its own settings.
        EXPECT_EQ("C:\\Services\\Ondrimar.exe", winsim::serviceConfig(kServiceName)->binaryPath);
    }
    EXPECT_EQ(0u, winsim::openHandles());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, InstallFailureTest,
    ::testing::Values(
        CInstallFailure{"ModulePathUnavailable",
                        [] { winsim::failCall("GetModuleFileNameA", ERROR_NOT_ENOUGH_MEMORY); },
                        "Unable to install Ondrimar Watchdog - ", ERROR_NOT_ENOUGH_MEMORY, false},
        CInstallFailure{"PathFillsTheBuffer", [] { winsim::setModuleFileName(PathOfLength(1023)); },
                        "Unable to install Ondrimar Watchdog - ", ERROR_INSUFFICIENT_BUFFER, false},
        CInstallFailure{"PathFarTooLong", [] { winsim::setModuleFileName(PathOfLength(3000)); },
                        "Unable to install Ondrimar Watchdog - ", ERROR_INSUFFICIENT_BUFFER, false},
        CInstallFailure{"ManagerDenied",
                        [] { winsim::failCall("OpenSCManagerA", ERROR_ACCESS_DENIED); },
                        "OpenSCManager failed - ", ERROR_ACCESS_DENIED, false},
        CInstallFailure{"ServiceExists", [] {}, "CreateService failed - ", ERROR_SERVICE_EXISTS,
                        true},
        CInstallFailure{"CreateDenied",
                        [] { winsim::failCall("CreateServiceA", ERROR_ACCESS_DENIED); },
                        "CreateService failed - ", ERROR_ACCESS_DENIED, false},
        // A system text that does not fit is left out; the message still goes.
        CInstallFailure{
            "NoSystemText",
            [] { winsim::setSystemMessage(ERROR_SERVICE_EXISTS, std::string(243, 'x') + "\r\n"); },
            "CreateService failed - ", kNoText, true}),
    CRowName());

// ---------------------------------------------------------------- Uninstall on NT

struct CUninstallCase {
    const char* name;
    std::function<void()> setUp;
    // The expected output, "%s" standing for the display name and "%e" for
    // the system's text of `error`.
    std::string expected;
    DWORD error;
    BOOL result;
    size_t polls; // status queries, each one second after the last
};

void PrintTo(const CUninstallCase& row, std::ostream* out) {
    *out << row.name;
}

std::string Expand(std::string text, DWORD error) {
    for (size_t at; (at = text.find("%s")) != std::string::npos;)
        text.replace(at, 2, kDisplayName);
    size_t at = text.find("%e");
    if (at != std::string::npos)
        text.replace(at, 2, MessageText(error));
    return text;
}

winsim::ServiceScript Stopping(DWORD pendingPolls, DWORD afterStop = SERVICE_STOPPED) {
    winsim::ServiceScript script;
    script.stopPendingPolls = pendingPolls;
    script.afterStop = afterStop;
    return script;
}

class UninstallTest : public CWinsimTest, public ::testing::WithParamInterface<CUninstallCase> {};

TEST_P(UninstallTest, StopsDeletesAndUnregisters) {
    const CUninstallCase& c = GetParam();
    RegisterSourceBefore();
    c.setUp();
    bool installed = winsim::serviceExists(kServiceName);
    {
        CInstallProbe service;
        winsim::clearCalls();

        CRun run = Captured([&] { return service.Uninstall(); });

        EXPECT_EQ(c.result, run.result);
        EXPECT_EQ(Expand(c.expected, c.error), run.output);
        EXPECT_EQ(std::vector<DWORD>(c.polls, 1000), winsim::sleeps());
        EXPECT_EQ(c.polls, winsim::callCount("QueryServiceStatus"));
        EXPECT_EQ("AllocConsole", winsim::calls().at(0));
        EXPECT_EQ(c.result ? 1 : 0, service.m_removeCalls);
    }
    if (c.result) {
        EXPECT_EQ(1u, winsim::callCount("DeleteService"));
        // Marked for deletion, a stopped service goes with its last handle;
        // one that still runs stays marked until it stops.
        if (c.expected.find("failed to stop") == std::string::npos) {
            EXPECT_FALSE(winsim::serviceExists(kServiceName));
        }
        EXPECT_FALSE(winsim::regKeyExists(kSourceKey));
        ExpectSources({"Alpha", "Beta"});
    } else {
        EXPECT_EQ(installed, winsim::serviceExists(kServiceName));
        ExpectSourceLeft();
    }
    EXPECT_TRUE(winsim::eventLog().empty());
    EXPECT_EQ(0u, winsim::openHandles());
}

INSTANTIATE_TEST_SUITE_P(
    Services, UninstallTest,
    ::testing::Values(
        CUninstallCase{
            "Stopped",
            [] { winsim::addScriptedService(kServiceName, Stopping(0), SERVICE_STOPPED); },
            "%s removed.\n", 0, 1, 0},
        CUninstallCase{
            "StopsWithinASecond",
            [] { winsim::addScriptedService(kServiceName, Stopping(0), SERVICE_RUNNING); },
            "Stopping %s.\n%s stopped.\n%s removed.\n", 0, 1, 1},
        CUninstallCase{
            "StopPendingForSeconds",
            [] { winsim::addScriptedService(kServiceName, Stopping(3), SERVICE_RUNNING); },
            "Stopping %s....\n%s stopped.\n%s removed.\n", 0, 1, 4},
        CUninstallCase{"NeverStops",
                       [] {
                           winsim::addScriptedService(kServiceName, Stopping(2, SERVICE_RUNNING),
                                                      SERVICE_RUNNING);
                       },
                       "Stopping %s...\n%s failed to stop.\n%s removed.\n", 0, 1, 3},
        CUninstallCase{"NotInstalled", [] {}, "OpenService failed - %e\n",
                       ERROR_SERVICE_DOES_NOT_EXIST, 0, 0},
        CUninstallCase{"ManagerDenied",
                       [] {
                           winsim::addScriptedService(kServiceName, Stopping(0), SERVICE_RUNNING);
                           winsim::failCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
                       },
                       "OpenSCManager failed - %e\n", ERROR_ACCESS_DENIED, 0, 0},
        CUninstallCase{"DeleteFails",
                       [] {
                           winsim::addScriptedService(kServiceName, Stopping(0), SERVICE_STOPPED);
                           winsim::failCall("DeleteService", ERROR_ACCESS_DENIED);
                       },
                       "DeleteService failed - %e\n", ERROR_ACCESS_DENIED, 0, 0},
        CUninstallCase{"DeleteFailsAfterStopping",
                       [] {
                           winsim::addScriptedService(kServiceName, Stopping(1), SERVICE_RUNNING);
                           winsim::failCall("DeleteService", ERROR_ACCESS_DENIED);
                       },
                       "Stopping %s..\n%s stopped.\nDeleteService failed - %e\n",
                       ERROR_ACCESS_DENIED, 0, 2}),
    CRowName());

// ---------------------------------------------------------------- handle order

struct COrderCase {
    const char* name;
    std::function<void()> setUp;
    std::function<BOOL(CNTService&)> action;
};

void PrintTo(const COrderCase& row, std::ostream* out) {
    *out << row.name;
}

class InstallCloseOrderTest : public CWinsimTest,
                              public ::testing::WithParamInterface<COrderCase> {};

// With the first CloseServiceHandle made to fail, the handle it was given
// stays open: it must be the service handle, the manager's closing after it.
TEST_P(InstallCloseOrderTest, ClosesTheServiceHandleBeforeTheManager) {
    const COrderCase& c = GetParam();
    c.setUp();
    winsim::failCall("CloseServiceHandle", ERROR_INVALID_HANDLE, 1);
    {
        CInstallProbe service;
        Captured([&] { return c.action(service); });
    }
    EXPECT_EQ(2u, winsim::callCount("CloseServiceHandle"));
    EXPECT_EQ(1u, winsim::openHandles(winsim::Kind::Service));
    EXPECT_EQ(0u, winsim::openHandles(winsim::Kind::Manager));
}

INSTANTIATE_TEST_SUITE_P(
    Actions, InstallCloseOrderTest,
    ::testing::Values(
        COrderCase{"Install", [] {}, [](CNTService& s) { return s.Install(); }},
        COrderCase{"Uninstall",
                   [] { winsim::addScriptedService(kServiceName, Stopping(1), SERVICE_RUNNING); },
                   [](CNTService& s) { return s.Uninstall(); }},
        COrderCase{"UninstallDeleteFails",
                   [] {
                       winsim::addScriptedService(kServiceName, Stopping(0), SERVICE_STOPPED);
                       winsim::failCall("DeleteService", ERROR_ACCESS_DENIED);
                   },
                   [](CNTService& s) { return s.Uninstall(); }}),
    CRowName());

// ---------------------------------------------------------------- Windows 9x

struct CWin9xCase {
    const char* name;
    bool install;
    std::string modulePath;
    std::function<void()> setUp;
    BOOL result;
    std::optional<std::string> valueAfter; // the "Ondrimar" value's text
};

void PrintTo(const CWin9xCase& row, std::ostream* out) {
    *out << row.name;
}

class Win9xTest : public CWinsimTest, public ::testing::WithParamInterface<CWin9xCase> {};

TEST_P(Win9xTest, WorksSilentlyOnTheRunServicesValue) {
    const CWin9xCase& c = GetParam();
    winsim::setPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    winsim::setModuleFileName(c.modulePath);
    c.setUp();
    bool otherValue = winsim::regValue(kRunServicesKey, "Other").has_value();
    {
        CInstallProbe service;
        winsim::clearCalls();

        CRun run = Captured([&] { return c.install ? service.Install() : service.Uninstall(); });

        EXPECT_EQ(c.result, run.result);
        EXPECT_EQ("", run.output);
        EXPECT_EQ("AllocConsole", winsim::calls().at(0));
        EXPECT_TRUE(service.m_added.empty());
        EXPECT_EQ(0, service.m_removeCalls);
        EXPECT_TRUE(service.m_loggedIds.empty());
    }
    auto value = winsim::regValue(kRunServicesKey, kServiceName);
    if (c.valueAfter) {
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), value->type);
        EXPECT_EQ(WithNul(*c.valueAfter), value->bytes);
    } else {
        EXPECT_FALSE(value.has_value());
    }
    // A missing key is created on both sides; a neighbour is left alone.
    EXPECT_EQ(c.result == 1, winsim::regKeyExists(kRunServicesKey));
    EXPECT_EQ(otherValue, winsim::regValue(kRunServicesKey, "Other").has_value());
    EXPECT_EQ(0u, winsim::callCount("OpenSCManagerA"));
    EXPECT_FALSE(winsim::serviceExists(kServiceName));
    EXPECT_FALSE(winsim::regKeyExists(kSourceKey));
    EXPECT_TRUE(winsim::eventLog().empty());
    EXPECT_EQ(0u, winsim::openHandles());
}

void SetOther() {
    winsim::regSetValue(kRunServicesKey, "Other", REG_SZ, WithNul("C:\\other.exe"));
}

void SetOld() {
    SetOther();
    winsim::regSetValue(kRunServicesKey, kServiceName, REG_EXPAND_SZ, WithNul("C:\\old.exe"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Win9xTest,
    ::testing::Values(
        CWin9xCase{"InstallCreatesTheKey", true, kDefaultPath, [] {}, 1, std::string(kDefaultPath)},
        CWin9xCase{"InstallBesideOtherValues", true, kSpacedPath, SetOther, 1,
                   std::string(kSpacedPath)},
        CWin9xCase{"InstallReplacesTheOldValue", true, kDefaultPath, SetOld, 1,
                   std::string(kDefaultPath)},
        CWin9xCase{"InstallKeyRefused", true, kDefaultPath,
                   [] { winsim::failCall("RegCreateKeyA", ERROR_ACCESS_DENIED); }, 0, std::nullopt},
        CWin9xCase{"InstallWriteFails", true, kDefaultPath,
                   [] {
                       SetOld();
                       winsim::failCall("RegSetValueExA", ERROR_ACCESS_DENIED);
                   },
                   1, std::string("C:\\old.exe")},
        CWin9xCase{"UninstallRemovesTheValue", false, kDefaultPath, SetOld, 1, std::nullopt},
        CWin9xCase{"UninstallValueMissing", false, kDefaultPath, SetOther, 1, std::nullopt},
        CWin9xCase{"UninstallCreatesTheKey", false, kDefaultPath, [] {}, 1, std::nullopt},
        CWin9xCase{"UninstallKeyRefused", false, kDefaultPath,
                   [] { winsim::failCall("RegCreateKeyA", ERROR_ACCESS_DENIED); }, 0, std::nullopt},
        CWin9xCase{"UninstallDeleteFails", false, kDefaultPath,
                   [] {
                       SetOld();
                       winsim::failCall("RegDeleteValueA", ERROR_ACCESS_DENIED);
                   },
                   1, std::string("C:\\old.exe")}),
    CRowName());

} // namespace
