// Control of the simulated Win32 world, for tests.
//
// The simulation is one process-wide world: a handle table, a service
// control manager with its database, a registry, an event log, named
// sections, a console and a clock. Tests set it up through these functions,
// run product code against the Win32 functions of <windows.h>, and read the
// outcome back here. reset() gives a fresh machine.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

// ---------------------------------------------------------------- world

// Ends the simulated process (see endProcess) and clears every table: the
// next test starts on a fresh machine with the default configuration.
void reset();

// Ends the simulated process: every thread started with CreateThread is
// stopped at its next blocking call (Sleep, WaitForSingleObject) and joined;
// a dispatcher still running returns. Handles those threads held stay in the
// table, so a test can still see what leaked. The world stays as it is.
void endProcess();

// ---------------------------------------------------------------- handles

enum class Kind {
    Event,
    Thread,
    Mapping,
    View,
    Manager,
    Service,
    Key,
    EventSource,
    LocalMemory,
    GlobalMemory,
};
const char* kindName(Kind kind);

// Open handles, views and memory blocks of the process, all kinds together
// or of one kind. Standard handles and predefined registry roots are not
// counted.
std::size_t openHandles();
std::size_t openHandles(Kind kind);

// Misuse seen by the handle table: closing a handle twice, closing with the
// function of another kind, using a handle that is not open. Each entry names
// the function and the handle.
std::vector<std::string> handleErrors();

// ---------------------------------------------------------------- calls and faults

// The names of the simulated functions called since the last reset or
// clearCalls, in order, from every thread.
std::vector<std::string> calls();
void clearCalls();
std::size_t callCount(const std::string& function);
// The argument of each Sleep call, in order.
std::vector<DWORD> sleeps();

// Makes the nth call (counting from 1, since the last reset) of the named
// function fail with the given error, and the times - 1 calls after it too
// (times 0: every call from the nth on). Functions that return an error code
// (registry, WSAStartup) return it; the others set it as the last error and
// return their failure value.
void failCall(const std::string& function, DWORD error, unsigned nth = 1, unsigned times = 1);
void clearFaults();

// Fails loudly: prints the message and aborts. Used for any request the
// simulation does not model.
[[noreturn]] void unsupported(const std::string& what);

// ---------------------------------------------------------------- time

// Real milliseconds per simulated millisecond. 0 (the default) makes every
// time-out and sleep pass at once, advancing the simulated clock; a positive
// scale lets threads run side by side at that speed.
void setTimeScale(double realPerSimulated);
// Simulated milliseconds since the last reset.
std::uint64_t now();

// ---------------------------------------------------------------- kernel

void setPlatformId(DWORD platformId);
void setUserName(const std::string& name);
// The user's SID as the account lookup gives it.
std::vector<BYTE> userSid();
// The executable's path as GetModuleFileNameA reports it.
void setModuleFileName(const std::string& path);
// System message texts; a code without a text makes FormatMessageA fail.
void setSystemMessage(DWORD code, const std::string& text);
void removeSystemMessage(DWORD code);
std::string systemMessage(DWORD code);
// WSAStartup's result and the version it reports.
void setWinsock(int startupResult, WORD reportedVersion);
std::size_t winsockStartups();
std::size_t winsockCleanups();

// ---------------------------------------------------------------- console

// Whether the process already has a console (AllocConsole then fails).
void setHasConsole(bool hasConsole);
bool consoleAllocated();
// Makes GetStdHandle return INVALID_HANDLE_VALUE for one standard handle.
void setStdHandleInvalid(DWORD which, bool invalid);
HANDLE stdHandle(DWORD which);
// What runtime descriptor 0, 1 or 2 is bound to after _dup2: the Win32 handle
// and whether the descriptor was opened in text mode; no value when the
// descriptor was never rebound.
struct Binding {
    HANDLE handle;
    bool textMode;
};
std::optional<Binding> streamBinding(int descriptor);

// ---------------------------------------------------------------- file mappings

// A named section owned by another process: it exists until removed, whatever
// this process opens or closes. A new call replaces the section; views mapped
// earlier keep the old bytes. The section is page-sized at least, filled with
// zeros after the given bytes.
void setSection(const std::string& name, const std::string& bytes);
void removeSection(const std::string& name);
bool sectionExists(const std::string& name);

// ---------------------------------------------------------------- event log

struct EventRecord {
    std::string source;
    WORD type;
    WORD category;
    DWORD id;
    std::vector<BYTE> userSid; // empty when no user was attached
    std::vector<std::string> strings;
    DWORD dataSize;
};
std::vector<EventRecord> eventLog();

// ---------------------------------------------------------------- service control manager

// How a scripted service, one the test owns, answers. Status queries
// (QueryServiceStatus, and ControlService with interrogate) are its polls.
struct ServiceScript {
    static constexpr DWORD kForever = 0xFFFFFFFFu;
    // Polls that still find start pending after an accepted start, then
    // afterStart is reached (a crash while starting: SERVICE_STOPPED).
    DWORD startPendingPolls = 0;
    DWORD afterStart = SERVICE_RUNNING;
    // The same for an accepted stop request.
    DWORD stopPendingPolls = 0;
    DWORD afterStop = SERVICE_STOPPED;
    // A nonzero error makes StartServiceA fail with it.
    DWORD startError = 0;
    DWORD controlsAccepted = SERVICE_ACCEPT_STOP;
    DWORD waitHint = 2000;
};

struct ServiceConfig {
    std::string name;
    std::string displayName;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::string binaryPath;
    std::optional<std::string> loadOrderGroup;
    bool tagRequested = false;
    std::optional<std::string> dependencies; // the double-NUL list, its final NUL left out
    std::optional<std::string> account;
    std::optional<std::string> password;
    DWORD desiredAccess = SERVICE_ALL_ACCESS;
};

// A service run by a script, in the given state.
void addScriptedService(const std::string& name, const ServiceScript& script,
                        DWORD state = SERVICE_STOPPED);
// A service whose status comes from this process: the dispatcher connects to
// it when the test starts the process as that service. A service already in
// the database (created with CreateServiceA) keeps its configuration, status
// and open handles and becomes hosted.
void addHostedService(const std::string& name);
bool serviceExists(const std::string& name);
std::optional<ServiceConfig> serviceConfig(const std::string& name);
SERVICE_STATUS serviceStatus(const std::string& name);
// Forces a state, as a service that stops on its own or crashes.
void setServiceState(const std::string& name, DWORD state);
std::size_t startRequests(const std::string& name);

// Starts this process as the named hosted service: the next
// StartServiceCtrlDispatcherA connects to it. Without this the dispatcher
// fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
void startAsService(const std::string& name);
// Every status report the hosted service made, in order.
std::vector<SERVICE_STATUS> statusReports(const std::string& name);
// Waits (real time) until the service reports the state; false on time-out.
bool waitForState(const std::string& name, DWORD state, unsigned realTimeoutMs = 5000);
// Sends a control to the hosted service as the SCM would, including the
// shutdown notification that ControlService cannot send. Returns 0 when the
// handler ran, or the error ControlService would give.
DWORD sendControl(const std::string& name, DWORD control);

// ---------------------------------------------------------------- registry

struct RegValue {
    DWORD type;
    std::vector<BYTE> bytes;
};
// Paths are below HKEY_LOCAL_MACHINE unless they start with "HKCU\".
void regCreateKey(const std::string& path);
bool regKeyExists(const std::string& path);
void regSetValue(const std::string& path, const std::string& name, DWORD type,
                 const std::vector<BYTE>& bytes);
std::optional<RegValue> regValue(const std::string& path, const std::string& name);
void regDeleteValue(const std::string& path, const std::string& name);
// Makes opening or creating the key (and keys below it) fail with
// ERROR_ACCESS_DENIED.
void regDenyAccess(const std::string& path, bool denied);
// Bytes of a text list as REG_MULTI_SZ stores it: every entry with its zero,
// then the final zero.
std::vector<BYTE> multiSz(const std::vector<std::string>& entries);

} // namespace winsim
