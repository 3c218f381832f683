// The Service Control Manager: a database of services, scripted services
// that tests own, and the dispatcher contract for the process under test.
#include "core.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>

using namespace winsim::detail;

namespace {

struct ServiceRecord {
    winsim::ServiceConfig config;
    bool hosted = false;
    winsim::ServiceScript script;
    SERVICE_STATUS status{};
    DWORD remaining = 0; // polls left in the pending state
    bool markedForDelete = false;
    unsigned handles = 0;
    std::size_t startRequests = 0;
    std::vector<SERVICE_STATUS> reports;
    bool awaitingConnect = false;
    bool connected = false;
};

struct ManagerObject : Object {
    DWORD access = 0;
};

struct ServiceObject : Object {
    std::shared_ptr<ServiceRecord> record;
    DWORD access = 0;
};

// The one dispatcher of the process under test.
struct Dispatcher {
    std::shared_ptr<ServiceRecord> service;
    LPSERVICE_MAIN_FUNCTIONA main = nullptr;
    LPHANDLER_FUNCTION handler = nullptr;
    std::uintptr_t statusHandle = 0;
    std::uintptr_t nextStatusHandle = 0x5e000010;
    std::deque<std::pair<std::uint64_t, DWORD>> queue;
    std::uint64_t nextTicket = 1;
    std::uint64_t doneTicket = 0;
    bool stopped = false;
    std::string argument;
    char* argv[2] = {nullptr, nullptr};
    std::shared_ptr<ThreadObject> mainThread;
};

struct Scm {
    std::map<std::string, std::shared_ptr<ServiceRecord>> services;
    Dispatcher dispatcher;
};

Scm& scm() {
    static Scm s;
    return s;
}

[[maybe_unused]] const bool registered = [] {
    registerReset([] { scm() = Scm{}; });
    return true;
}();

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::shared_ptr<ServiceRecord> findService(const std::string& name) {
    auto it = scm().services.find(lower(name));
    return it == scm().services.end() ? nullptr : it->second;
}

std::shared_ptr<ServiceRecord> requireService(const std::string& name) {
    auto record = findService(name);
    if (!record) {
        winsim::unsupported("no service named " + name + " in the simulated database");
    }
    return record;
}

bool isPending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
           state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

// Moves a scripted service to a state, reporting as a well-behaved service
// would: no controls while starting or stopped, a rising check point while
// pending.
void enterState(ServiceRecord& service, DWORD state) {
    SERVICE_STATUS& status = service.status;
    status.dwServiceType = service.config.serviceType;
    status.dwCurrentState = state;
    status.dwControlsAccepted = (state == SERVICE_START_PENDING || state == SERVICE_STOPPED)
                                    ? 0
                                    : service.script.controlsAccepted;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = isPending(state) ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = isPending(state) ? service.script.waitHint : 0;
}

// One status query of a scripted service: a pending state lasts for the
// number of polls its script gives, then the script's final state follows.
void poll(ServiceRecord& service) {
    if (service.hosted) {
        return;
    }
    DWORD state = service.status.dwCurrentState;
    if (state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING) {
        return;
    }
    if (service.remaining == winsim::ServiceScript::kForever) {
        return;
    }
    if (service.remaining > 0) {
        --service.remaining;
        ++service.status.dwCheckPoint;
        world().changed.notify_all();
        return;
    }
    DWORD next =
        state == SERVICE_START_PENDING ? service.script.afterStart : service.script.afterStop;
    enterState(service, next);
    if (state == SERVICE_START_PENDING && next == SERVICE_STOPPED) {
        service.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    }
    world().changed.notify_all();
}

// A service marked for deletion leaves the database once it has stopped and
// its last handle is closed, whichever comes last.
void removeIfDeleted(const std::shared_ptr<ServiceRecord>& record) {
    if (!record->markedForDelete || record->handles != 0 || record->connected ||
        record->status.dwCurrentState != SERVICE_STOPPED) {
        return;
    }
    auto it = scm().services.find(lower(record->config.name));
    if (it != scm().services.end() && it->second == record) {
        scm().services.erase(it);
    }
}

void beginPending(ServiceRecord& service, DWORD pendingState, DWORD polls, DWORD finalState) {
    service.remaining = polls;
    enterState(service, polls == 0 ? finalState : pendingState);
}

DWORD managerAccess(DWORD access) {
    // Every handle of the manager may connect; generic read adds enumeration
    // and the lock status.
    DWORD rights = access | SC_MANAGER_CONNECT;
    if (access & GENERIC_READ) {
        rights |= 0x00020000u | SC_MANAGER_ENUMERATE_SERVICE | 0x0010u;
    }
    if (access & GENERIC_ALL) {
        rights |= SC_MANAGER_ALL_ACCESS;
    }
    return rights;
}

DWORD serviceAccess(DWORD access) {
    DWORD rights = access;
    if (access & GENERIC_READ) {
        rights |= 0x00020000u | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    }
    if (access & GENERIC_EXECUTE) {
        rights |= 0x00020000u | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                  SERVICE_USER_DEFINED_CONTROL;
    }
    if (access & GENERIC_ALL) {
        rights |= SERVICE_ALL_ACCESS;
    }
    return rights;
}

// What refuses a control before it reaches a service, or 0.
DWORD refusal(const ServiceRecord& service, DWORD control) {
    DWORD state = service.status.dwCurrentState;
    DWORD accepted = service.status.dwControlsAccepted;
    if (state == SERVICE_STOPPED) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    if (state == SERVICE_STOP_PENDING) {
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    if (state == SERVICE_START_PENDING) {
        return control == SERVICE_CONTROL_STOP ? ERROR_INVALID_SERVICE_CONTROL
                                               : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return (accepted & SERVICE_ACCEPT_STOP) ? 0 : ERROR_INVALID_SERVICE_CONTROL;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        return (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) ? 0 : ERROR_INVALID_SERVICE_CONTROL;
    case SERVICE_CONTROL_SHUTDOWN:
        return (accepted & SERVICE_ACCEPT_SHUTDOWN) ? 0 : ERROR_INVALID_SERVICE_CONTROL;
    default:
        return 0;
    }
}

// Delivers a control to the hosted service's handler on the dispatcher's
// thread and waits until the handler has returned. Returns 0 or the error.
DWORD controlHosted(std::unique_lock<std::mutex>& lock, ServiceRecord& service, DWORD control) {
    Dispatcher& d = scm().dispatcher;
    if (!service.connected || d.service.get() != &service) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    if (DWORD error = refusal(service, control)) {
        return error;
    }
    std::uint64_t ticket = d.nextTicket++;
    d.queue.emplace_back(ticket, control);
    world().changed.notify_all();
    world().changed.wait(lock, [&] {
        return scm().dispatcher.doneTicket >= ticket || !world().dispatcherRunning ||
               (world().ending && inSimulatedThread());
    });
    if (world().ending && inSimulatedThread() && std::uncaught_exceptions() == 0) {
        throw ThreadExit{};
    }
    return 0;
}

DWORD WINAPI serviceMainThread(LPVOID) {
    Dispatcher& d = scm().dispatcher;
    LPSERVICE_MAIN_FUNCTIONA main;
    char** argv;
    {
        std::lock_guard<std::mutex> lock(world().mutex);
        main = d.main;
        argv = d.argv;
    }
    main(1, argv);
    return 0;
}

} // namespace

namespace winsim {

void addScriptedService(const std::string& name, const ServiceScript& script, DWORD state) {
    std::lock_guard<std::mutex> lock(world().mutex);
    auto record = std::make_shared<ServiceRecord>();
    record->config.name = name;
    record->config.displayName = name;
    record->config.binaryPath = "C:\\Services\\" + name + ".exe";
    record->script = script;
    enterState(*record, state);
    // A service added while pending stays so for the polls its script gives.
    if (state == SERVICE_START_PENDING) {
        record->remaining = script.startPendingPolls;
    } else if (state == SERVICE_STOP_PENDING) {
        record->remaining = script.stopPendingPolls;
    }
    scm().services[lower(name)] = record;
}

void addHostedService(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    if (auto existing = findService(name)) {
        // Created with CreateServiceA: it keeps its configuration, status and
        // open handles, and is run by this process from now on.
        existing->hosted = true;
        return;
    }
    auto record = std::make_shared<ServiceRecord>();
    record->config.name = name;
    record->config.displayName = name;
    record->config.binaryPath = "C:\\Brisvel\\brisvel.exe";
    record->hosted = true;
    record->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    record->status.dwCurrentState = SERVICE_STOPPED;
    scm().services[lower(name)] = record;
}

bool serviceExists(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    return findService(name) != nullptr;
}

std::optional<ServiceConfig> serviceConfig(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    auto record = findService(name);
    if (!record) {
        return std::nullopt;
    }
    return record->config;
}

SERVICE_STATUS serviceStatus(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    return requireService(name)->status;
}

void setServiceState(const std::string& name, DWORD state) {
    std::lock_guard<std::mutex> lock(world().mutex);
    auto record = requireService(name);
    if (record->hosted) {
        unsupported("setServiceState: a hosted service reports its own state");
    }
    record->remaining = 0;
    enterState(*record, state);
    removeIfDeleted(record);
    world().changed.notify_all();
}

std::size_t startRequests(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    return requireService(name)->startRequests;
}

void startAsService(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    auto record = requireService(name);
    if (!record->hosted) {
        unsupported("startAsService: " + name + " is a scripted service");
    }
    record->awaitingConnect = true;
    record->status.dwCurrentState = SERVICE_START_PENDING;
    record->status.dwControlsAccepted = 0;
}

std::vector<SERVICE_STATUS> statusReports(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    return requireService(name)->reports;
}

bool waitForState(const std::string& name, DWORD state, unsigned realTimeoutMs) {
    std::unique_lock<std::mutex> lock(world().mutex);
    auto record = requireService(name);
    return world().changed.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                                    [&] { return record->status.dwCurrentState == state; });
}

DWORD sendControl(const std::string& name, DWORD control) {
    std::unique_lock<std::mutex> lock(world().mutex);
    auto record = requireService(name);
    if (!record->hosted) {
        unsupported("sendControl: " + name + " is a scripted service");
    }
    return controlHosted(lock, *record, control);
}

} // namespace winsim

extern "C" {

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) {
    Call call("OpenSCManagerA");
    if (machineName != nullptr) {
        winsim::unsupported("OpenSCManagerA: remote machines");
    }
    if (databaseName != nullptr && std::strcmp(databaseName, "ServicesActive") != 0) {
        winsim::unsupported("OpenSCManagerA: databases other than the active one");
    }
    if (call.failed()) {
        return call.fail<SC_HANDLE>(nullptr);
    }
    auto manager = std::make_shared<ManagerObject>();
    manager->access = managerAccess(access);
    return reinterpret_cast<SC_HANDLE>(addHandle(winsim::Kind::Manager, manager));
}

static SC_HANDLE openHandleTo(const std::shared_ptr<ServiceRecord>& record, DWORD access) {
    auto service = std::make_shared<ServiceObject>();
    service->record = record;
    service->access = serviceAccess(access);
    ++record->handles;
    return reinterpret_cast<SC_HANDLE>(addHandle(winsim::Kind::Service, service));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
    Call call("OpenServiceA");
    if (call.failed()) {
        return call.fail<SC_HANDLE>(nullptr);
    }
    if (!call.object<ManagerObject>(manager, {winsim::Kind::Manager})) {
        return nullptr;
    }
    if (serviceName == nullptr) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    auto record = findService(serviceName);
    if (!record) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return openHandleTo(record, access);
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                                DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                                LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                                LPCSTR password) {
    Call call("CreateServiceA");
    if (call.failed()) {
        return call.fail<SC_HANDLE>(nullptr);
    }
    auto owner = call.object<ManagerObject>(manager, {winsim::Kind::Manager});
    if (!owner) {
        return nullptr;
    }
    if (!(owner->access & SC_MANAGER_CREATE_SERVICE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (serviceName == nullptr || *serviceName == '\0' || std::strchr(serviceName, '\\') ||
        std::strchr(serviceName, '/')) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (binaryPathName == nullptr || *binaryPathName == '\0' || startType > SERVICE_DISABLED ||
        errorControl > SERVICE_ERROR_CRITICAL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (auto existing = findService(serviceName)) {
        SetLastError(existing->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                               : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    std::string display = displayName != nullptr ? displayName : serviceName;
    for (const auto& [key, other] : scm().services) {
        if (lower(other->config.displayName) == lower(display)) {
            SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
            return nullptr;
        }
    }
    auto record = std::make_shared<ServiceRecord>();
    winsim::ServiceConfig& config = record->config;
    config.name = serviceName;
    config.displayName = display;
    config.serviceType = serviceType;
    config.startType = startType;
    config.errorControl = errorControl;
    config.binaryPath = binaryPathName;
    if (loadOrderGroup != nullptr) {
        config.loadOrderGroup = loadOrderGroup;
    }
    config.tagRequested = tagId != nullptr;
    if (dependencies != nullptr) {
        std::string list;
        for (const char* entry = dependencies; *entry != '\0'; entry += std::strlen(entry) + 1) {
            list.append(entry, std::strlen(entry) + 1);
        }
        config.dependencies = list;
    }
    if (serviceStartName != nullptr) {
        config.account = serviceStartName;
    }
    if (password != nullptr) {
        config.password = password;
    }
    config.desiredAccess = desiredAccess;
    if (tagId != nullptr) {
        *tagId = 1;
    }
    // A service that never ran says so in its exit code, until its first
    // start. The last error is left alone.
    enterState(*record, SERVICE_STOPPED);
    record->status.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
    scm().services[lower(serviceName)] = record;
    return openHandleTo(record, desiredAccess);
}

// The service behind a handle that holds the right, or null with the error.
static std::shared_ptr<ServiceRecord> serviceWithRight(Call& call, SC_HANDLE handle, DWORD right) {
    auto service = call.object<ServiceObject>(handle, {winsim::Kind::Service});
    if (!service) {
        return nullptr;
    }
    if ((service->access & right) != right) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return service->record;
}

BOOL WINAPI DeleteService(SC_HANDLE handle) {
    Call call("DeleteService");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    auto record = serviceWithRight(call, handle, DELETE);
    if (!record) {
        return FALSE;
    }
    if (record->markedForDelete) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    record->markedForDelete = true;
    return TRUE;
}

BOOL WINAPI StartServiceA(SC_HANDLE handle, DWORD numArgs, LPCSTR* args) {
    Call call("StartServiceA");
    if (numArgs != 0 || args != nullptr) {
        winsim::unsupported("StartServiceA: start arguments");
    }
    if (call.failed()) {
        return call.fail(FALSE);
    }
    auto record = serviceWithRight(call, handle, SERVICE_START);
    if (!record) {
        return FALSE;
    }
    ++record->startRequests;
    if (record->markedForDelete) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (record->config.startType == SERVICE_DISABLED) {
        SetLastError(ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    if (record->hosted) {
        if (record->connected || record->awaitingConnect) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        record->awaitingConnect = true;
        record->status.dwCurrentState = SERVICE_START_PENDING;
        record->status.dwControlsAccepted = 0;
        return TRUE;
    }
    if (record->script.startError != 0) {
        SetLastError(record->script.startError);
        return FALSE;
    }
    if (record->status.dwCurrentState != SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    beginPending(*record, SERVICE_START_PENDING, record->script.startPendingPolls,
                 record->script.afterStart);
    world().changed.notify_all();
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
    Call call("ControlService");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    if (control == 0 || control == SERVICE_CONTROL_SHUTDOWN || control > 255 || status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD right = SERVICE_USER_DEFINED_CONTROL;
    if (control == SERVICE_CONTROL_STOP) {
        right = SERVICE_STOP;
    } else if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) {
        right = SERVICE_PAUSE_CONTINUE;
    } else if (control == SERVICE_CONTROL_INTERROGATE) {
        right = SERVICE_INTERROGATE;
    } else if (control < 128) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    auto record = serviceWithRight(call, handle, right);
    if (!record) {
        return FALSE;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) {
        poll(*record);
    }
    DWORD error = 0;
    if (record->hosted) {
        error = controlHosted(call.lock(), *record, control);
    } else if ((error = refusal(*record, control)) == 0) {
        const winsim::ServiceScript& script = record->script;
        if (control == SERVICE_CONTROL_STOP) {
            beginPending(*record, SERVICE_STOP_PENDING, script.stopPendingPolls, script.afterStop);
        } else if (control == SERVICE_CONTROL_PAUSE) {
            enterState(*record, SERVICE_PAUSED);
        } else if (control == SERVICE_CONTROL_CONTINUE) {
            enterState(*record, SERVICE_RUNNING);
        }
        world().changed.notify_all();
    }
    // An interrogation refused because the service is busy still returns its
    // status; other refusals leave the record alone.
    if (error == 0 ||
        (control == SERVICE_CONTROL_INTERROGATE && error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)) {
        *status = record->status;
    }
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
    Call call("QueryServiceStatus");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    auto record = serviceWithRight(call, handle, SERVICE_QUERY_STATUS);
    if (!record) {
        return FALSE;
    }
    poll(*record);
    *status = record->status;
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
    Call call("CloseServiceHandle");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    auto object = call.object<Object>(handle, {winsim::Kind::Manager, winsim::Kind::Service});
    if (!object) {
        return FALSE;
    }
    if (auto service = std::dynamic_pointer_cast<ServiceObject>(object)) {
        auto record = service->record;
        --record->handles;
        removeIfDeleted(record);
    }
    call.close(handle, {winsim::Kind::Manager, winsim::Kind::Service});
    return TRUE;
}

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    Call call("StartServiceCtrlDispatcherA");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    if (table == nullptr || table[0].lpServiceName == nullptr ||
        table[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (table[1].lpServiceName != nullptr || table[1].lpServiceProc != nullptr) {
        winsim::unsupported("StartServiceCtrlDispatcherA: more than one service in the process");
    }
    if (world().dispatcherRunning) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    std::shared_ptr<ServiceRecord> record;
    for (const auto& [key, candidate] : scm().services) {
        if (candidate->awaitingConnect) {
            record = candidate;
        }
    }
    if (!record) {
        // Started from a prompt rather than by the service manager.
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    // As on Windows, an own-process service runs whatever name its table
    // gives; the service-main procedure gets the registered name.
    Dispatcher& d = scm().dispatcher;
    record->awaitingConnect = false;
    record->connected = true;
    world().dispatcherRunning = true;
    d.service = record;
    d.main = table[0].lpServiceProc;
    d.handler = nullptr;
    d.statusHandle = 0;
    d.queue.clear();
    d.stopped = false;
    d.argument = record->config.name;
    d.argv[0] = d.argument.data();
    d.argv[1] = nullptr;
    d.mainThread = spawnThread(serviceMainThread, nullptr);

    BOOL result = TRUE;
    for (;;) {
        call.waitFor(INFINITE, [&] {
            return !d.queue.empty() || (d.stopped && d.mainThread->finished) || world().ending;
        });
        if (!d.queue.empty()) {
            auto [ticket, control] = d.queue.front();
            d.queue.pop_front();
            LPHANDLER_FUNCTION handler = d.handler;
            call.lock().unlock();
            if (handler != nullptr) {
                handler(control);
            }
            call.lock().lock();
            d.doneTicket = ticket;
            world().changed.notify_all();
            continue;
        }
        if (world().ending && !(d.stopped && d.mainThread->finished)) {
            // The process ends before its service reported stopped: the
            // service manager notices the service's end, as after a kill.
            result = FALSE;
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            record->status = SERVICE_STATUS{
                record->config.serviceType, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
        } else {
            // Returning after stopped clears the last error.
            SetLastError(ERROR_SUCCESS);
        }
        break;
    }
    record->connected = false;
    removeIfDeleted(record);
    d.handler = nullptr;
    d.statusHandle = 0;
    d.service.reset();
    world().dispatcherRunning = false;
    world().changed.notify_all();
    return result;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR serviceName,
                                                         LPHANDLER_FUNCTION handler) {
    Call call("RegisterServiceCtrlHandlerA");
    if (call.failed()) {
        return call.fail<SERVICE_STATUS_HANDLE>(nullptr);
    }
    Dispatcher& d = scm().dispatcher;
    if (!world().dispatcherRunning || serviceName == nullptr || handler == nullptr) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    d.handler = handler;
    d.statusHandle = d.nextStatusHandle;
    d.nextStatusHandle += 4;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(d.statusHandle);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    Call call("SetServiceStatus");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    Dispatcher& d = scm().dispatcher;
    if (!world().dispatcherRunning || d.statusHandle == 0 ||
        reinterpret_cast<std::uintptr_t>(handle) != d.statusHandle) {
        recordMisuse("SetServiceStatus: status handle is not registered");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED ||
        status->dwCurrentState > SERVICE_PAUSED) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    d.service->status = *status;
    d.service->reports.push_back(*status);
    if (status->dwCurrentState == SERVICE_STOPPED) {
        d.stopped = true;
    }
    world().changed.notify_all();
    return TRUE;
}

} // extern "C"
