// The world, its handle table, the call log and faults, the clock, and the
// kernel's threads, events, waits and critical sections.
#include "core.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

namespace winsim::detail {

namespace {

thread_local DWORD t_lastError = 0;
thread_local bool t_simulatedThread = false;

std::mutex g_threadsMutex;
std::vector<std::thread> g_threads; // every thread started by the simulation, until joined

std::vector<void (*)()>& areaResets() {
    static std::vector<void (*)()> resets;
    return resets;
}

std::string handleText(std::uintptr_t key) {
    std::ostringstream out;
    out << "0x" << std::hex << key;
    return out.str();
}

struct EventObject : Object {
    bool manualReset = true;
    bool signalled = false;
};

DWORD g_nextThreadId = 100;

} // namespace

World& world() {
    static World w;
    return w;
}

void registerReset(void (*resetArea)()) {
    areaResets().push_back(resetArea);
}

std::int64_t realMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool inSimulatedThread() {
    return t_simulatedThread;
}

void recordMisuse(const std::string& what) {
    world().handleErrors.push_back(what);
}

Call::Call(const char* function) : m_function(function), m_lock(world().mutex) {
    World& w = world();
    w.calls.push_back(function);
    unsigned count = ++w.callCounts[function];
    for (const Fault& fault : w.faults) {
        if (fault.function == function && count >= fault.first &&
            (fault.last == 0 || count <= fault.last)) {
            m_fault = fault.error;
            break;
        }
    }
}

void Call::throwIfEnding() {
    // While a thread unwinds, the owners it releases call back in here; they
    // must run to the end, so only a thread that is not unwinding is stopped.
    if (world().ending && t_simulatedThread && std::uncaught_exceptions() == 0) {
        throw ThreadExit{};
    }
}

std::shared_ptr<Object> Call::find(std::uintptr_t key, std::initializer_list<Kind> kinds) {
    World& w = world();
    auto it = w.handles.find(key);
    if (it == w.handles.end()) {
        recordMisuse(std::string(m_function) + ": " + handleText(key) + " is not open");
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (std::find(kinds.begin(), kinds.end(), it->second.kind) == kinds.end()) {
        recordMisuse(std::string(m_function) + ": " + handleText(key) + " is a " +
                     kindName(it->second.kind));
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second.object;
}

bool Call::close(std::uintptr_t key, std::initializer_list<Kind> kinds) {
    if (!find(key, kinds)) {
        return false;
    }
    world().handles.erase(key);
    return true;
}

std::uintptr_t addHandle(Kind kind, std::shared_ptr<Object> object) {
    World& w = world();
    std::uintptr_t key = w.nextHandle;
    w.nextHandle += 4; // never reused, so a stale handle is always seen
    w.handles.emplace(key, Entry{kind, std::move(object)});
    return key;
}

void addEntry(std::uintptr_t key, Kind kind, std::shared_ptr<Object> object) {
    world().handles.emplace(key, Entry{kind, std::move(object)});
}

std::shared_ptr<ThreadObject> spawnThread(LPTHREAD_START_ROUTINE start, LPVOID param) {
    // Threads still running when the test program exits are ended first,
    // before the world they use is destroyed.
    static const bool endAtExit = [] {
        std::atexit([] { winsim::endProcess(); });
        return true;
    }();
    (void)endAtExit;
    auto thread = std::make_shared<ThreadObject>();
    thread->id = g_nextThreadId++;
    std::lock_guard<std::mutex> threads(g_threadsMutex);
    g_threads.emplace_back([thread, start, param] {
        t_simulatedThread = true;
        DWORD code = 0;
        try {
            code = start(param);
        } catch (const ThreadExit&) {
            code = 0;
        }
        std::lock_guard<std::mutex> lock(world().mutex);
        thread->exitCode = code;
        thread->finished = true;
        world().changed.notify_all();
    });
    return thread;
}

} // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::Event:
        return "event";
    case Kind::Thread:
        return "thread";
    case Kind::Mapping:
        return "file mapping";
    case Kind::View:
        return "mapped view";
    case Kind::Manager:
        return "service manager handle";
    case Kind::Service:
        return "service handle";
    case Kind::Key:
        return "registry key";
    case Kind::EventSource:
        return "event source";
    case Kind::LocalMemory:
        return "local memory block";
    case Kind::GlobalMemory:
        return "global memory block";
    }
    return "?";
}

void endProcess() {
    {
        std::lock_guard<std::mutex> lock(world().mutex);
        world().ending = true;
        world().changed.notify_all();
    }
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(g_threadsMutex);
            threads.swap(g_threads);
        }
        if (threads.empty()) {
            break;
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }
    std::unique_lock<std::mutex> lock(world().mutex);
    world().changed.wait(lock, [] { return !world().dispatcherRunning; });
    world().ending = false;
}

void reset() {
    endProcess();
    std::lock_guard<std::mutex> lock(world().mutex);
    World& w = world();
    w.handles.clear();
    w.nextHandle = 0x1000;
    w.handleErrors.clear();
    w.calls.clear();
    w.callCounts.clear();
    w.sleeps.clear();
    w.faults.clear();
    w.timeScale = 0;
    w.simulatedNow = 0;
    w.scaledBase = 0;
    for (auto resetArea : areaResets()) {
        resetArea();
    }
}

std::size_t openHandles() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return world().handles.size();
}

std::size_t openHandles(Kind kind) {
    std::lock_guard<std::mutex> lock(world().mutex);
    std::size_t n = 0;
    for (const auto& [key, entry] : world().handles) {
        n += entry.kind == kind ? 1 : 0;
    }
    return n;
}

std::vector<std::string> handleErrors() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return world().handleErrors;
}

std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return std::vector<std::string>(world().calls.begin(), world().calls.end());
}

void clearCalls() {
    std::lock_guard<std::mutex> lock(world().mutex);
    world().calls.clear();
    world().sleeps.clear();
}

std::size_t callCount(const std::string& function) {
    std::lock_guard<std::mutex> lock(world().mutex);
    return static_cast<std::size_t>(
        std::count(world().calls.begin(), world().calls.end(), function));
}

std::vector<DWORD> sleeps() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return world().sleeps;
}

void failCall(const std::string& function, DWORD error, unsigned nth, unsigned times) {
    if (nth == 0) {
        unsupported("failCall: calls are counted from 1");
    }
    std::lock_guard<std::mutex> lock(world().mutex);
    world().faults.push_back(Fault{function, error, nth, times == 0 ? 0 : nth + times - 1});
}

void clearFaults() {
    std::lock_guard<std::mutex> lock(world().mutex);
    world().faults.clear();
}

void unsupported(const std::string& what) {
    std::fprintf(stderr, "winsim: not simulated: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::uint64_t nowLocked() {
    World& w = world();
    if (w.timeScale == 0) {
        return w.simulatedNow;
    }
    double elapsedMs = static_cast<double>(realMicroseconds() - w.realBaseUs) / 1000.0;
    return w.scaledBase + static_cast<std::uint64_t>(elapsedMs / w.timeScale);
}

void setTimeScale(double realPerSimulated) {
    if (realPerSimulated < 0) {
        unsupported("setTimeScale: negative scale");
    }
    std::lock_guard<std::mutex> lock(world().mutex);
    World& w = world();
    std::uint64_t current = nowLocked();
    w.timeScale = realPerSimulated;
    w.simulatedNow = current;
    w.scaledBase = current;
    w.realBaseUs = realMicroseconds();
}

std::uint64_t now() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return nowLocked();
}

} // namespace winsim

// ------------------------------------------------------------ kernel32

extern "C" {

DWORD WINAPI GetLastError(void) {
    return t_lastError;
}

void WINAPI SetLastError(DWORD code) {
    t_lastError = code;
}

DWORD WINAPI GetTickCount(void) {
    Call call("GetTickCount");
    return static_cast<DWORD>(winsim::nowLocked());
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    Call call("CloseHandle");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    return call.close(handle, {winsim::Kind::Event, winsim::Kind::Thread, winsim::Kind::Mapping})
               ? TRUE
               : FALSE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
    Call call("CreateEventA");
    if (name != nullptr) {
        winsim::unsupported("CreateEventA: named events");
    }
    if (attributes != nullptr) {
        winsim::unsupported("CreateEventA: security attributes");
    }
    if (call.failed()) {
        return call.fail<HANDLE>(nullptr);
    }
    auto event = std::make_shared<EventObject>();
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(addHandle(winsim::Kind::Event, event));
}

static BOOL setSignal(const char* function, HANDLE handle, bool signalled) {
    Call call(function);
    if (call.failed()) {
        return call.fail(FALSE);
    }
    auto event = call.object<EventObject>(handle, {winsim::Kind::Event});
    if (!event) {
        return FALSE;
    }
    event->signalled = signalled;
    world().changed.notify_all();
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE event) {
    return setSignal("SetEvent", event, true);
}

BOOL WINAPI ResetEvent(HANDLE event) {
    return setSignal("ResetEvent", event, false);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Call call("WaitForSingleObject");
    if (call.failed()) {
        return call.fail(WAIT_FAILED);
    }
    auto object = call.object<Object>(handle, {winsim::Kind::Event, winsim::Kind::Thread});
    if (!object) {
        return WAIT_FAILED;
    }
    if (auto event = std::dynamic_pointer_cast<EventObject>(object)) {
        if (!call.waitFor(milliseconds, [&] { return event->signalled; })) {
            return WAIT_TIMEOUT;
        }
        if (!event->manualReset) {
            event->signalled = false;
        }
        return WAIT_OBJECT_0;
    }
    auto thread = std::static_pointer_cast<ThreadObject>(object);
    return call.waitFor(milliseconds, [&] { return thread->finished; }) ? WAIT_OBJECT_0
                                                                        : WAIT_TIMEOUT;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                           LPDWORD threadId) {
    Call call("CreateThread");
    if (attributes != nullptr || stackSize != 0 || flags != 0) {
        winsim::unsupported("CreateThread: security attributes, stack size or creation flags");
    }
    if (call.failed()) {
        return call.fail<HANDLE>(nullptr);
    }
    auto thread = spawnThread(start, param);
    if (threadId != nullptr) {
        *threadId = thread->id;
    }
    return reinterpret_cast<HANDLE>(addHandle(winsim::Kind::Thread, thread));
}

void WINAPI Sleep(DWORD milliseconds) {
    Call call("Sleep");
    world().sleeps.push_back(milliseconds);
    call.waitFor(milliseconds, [] { return false; });
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    { Call call("InitializeCriticalSection"); }
    section->lock = new std::recursive_mutex;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    static_cast<std::recursive_mutex*>(section->lock)->lock();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    static_cast<std::recursive_mutex*>(section->lock)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    { Call call("DeleteCriticalSection"); }
    delete static_cast<std::recursive_mutex*>(section->lock);
    section->lock = nullptr;
}

} // extern "C"
