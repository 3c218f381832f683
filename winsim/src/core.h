// Internals shared by the simulated areas: the one world, its lock, the
// handle table, the call log with fault injection, the clock and the threads.
#pragma once

#include <windows.h>
#include <winsim/winsim.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace winsim::detail {

// Anything a handle, view or memory block refers to.
struct Object {
    virtual ~Object() = default;
};

struct Entry {
    Kind kind;
    std::shared_ptr<Object> object;
};

struct Fault {
    std::string function;
    DWORD error;
    unsigned first;
    unsigned last; // 0: no end
};

// Thrown into a simulated thread at a blocking call once the process ends;
// caught by the thread's entry, so the thread unwinds and stops.
struct ThreadExit {};

struct World {
    std::mutex mutex;
    // Notified on every change a waiter may be waiting for: events, thread
    // ends, service status, queued controls, the end of the process.
    std::condition_variable changed;

    std::map<std::uintptr_t, Entry> handles;
    std::uintptr_t nextHandle = 0x1000;
    std::vector<std::string> handleErrors;

    std::vector<const char*> calls;
    std::map<std::string, unsigned> callCounts;
    std::vector<DWORD> sleeps;
    std::vector<Fault> faults;

    bool ending = false;
    // A dispatcher blocks a thread the test owns; the end of the process
    // waits until it has returned.
    bool dispatcherRunning = false;
    double timeScale = 0;
    std::uint64_t simulatedNow = 0; // while timeScale is 0
    std::uint64_t scaledBase = 0;   // simulated time when the scale was set
    std::int64_t realBaseUs = 0;
};

World& world();

// Resets the areas' own state; each area registers one, called under the
// world's lock by reset().
void registerReset(void (*resetArea)());

// One simulated call: takes the world's lock for its whole life, logs the
// call and decides whether an injected fault applies to it.
class Call {
public:
    explicit Call(const char* function);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    bool failed() const { return m_fault.has_value(); }
    DWORD error() const { return *m_fault; }
    // Sets the injected error as the last error and returns the given value.
    template <typename T> T fail(T value) const {
        SetLastError(*m_fault);
        return value;
    }
    std::unique_lock<std::mutex>& lock() { return m_lock; }
    const char* function() const { return m_function; }

    // The object behind an open handle of one of the kinds, or null after
    // recording the misuse and setting ERROR_INVALID_HANDLE.
    template <typename T>
    std::shared_ptr<T> object(std::uintptr_t key, std::initializer_list<Kind> kinds);
    template <typename T>
    std::shared_ptr<T> object(const void* handle, std::initializer_list<Kind> kinds) {
        return object<T>(reinterpret_cast<std::uintptr_t>(handle), kinds);
    }
    // Removes an open handle of one of the kinds from the table; false (and
    // the misuse recorded) when it is not open or of another kind.
    bool close(std::uintptr_t key, std::initializer_list<Kind> kinds);
    bool close(const void* handle, std::initializer_list<Kind> kinds) {
        return close(reinterpret_cast<std::uintptr_t>(handle), kinds);
    }

    // Waits for the predicate, at most the simulated time-out (INFINITE for
    // none). Returns whether the predicate holds. In a simulated thread the
    // end of the process unwinds the thread from here.
    template <typename Pred> bool waitFor(DWORD milliseconds, Pred pred);

private:
    std::shared_ptr<Object> find(std::uintptr_t key, std::initializer_list<Kind> kinds);
    void throwIfEnding();

    const char* m_function;
    std::unique_lock<std::mutex> m_lock;
    std::optional<DWORD> m_fault;
};

// Adds an object to the handle table under a fresh handle value.
std::uintptr_t addHandle(Kind kind, std::shared_ptr<Object> object);
// Adds an object under a key of its own (a view's or a block's address).
void addEntry(std::uintptr_t key, Kind kind, std::shared_ptr<Object> object);
void recordMisuse(const std::string& what);

bool inSimulatedThread();
std::int64_t realMicroseconds();

// Starts a simulated thread running the procedure; the returned object is
// signalled when the thread has finished.
struct ThreadObject : Object {
    DWORD id = 0;
    bool finished = false;
    DWORD exitCode = 0;
};
std::shared_ptr<ThreadObject> spawnThread(LPTHREAD_START_ROUTINE start, LPVOID param);

// ------------------------------------------------------------ templates

template <typename T>
std::shared_ptr<T> Call::object(std::uintptr_t key, std::initializer_list<Kind> kinds) {
    auto found = find(key, kinds);
    if (!found) {
        return nullptr;
    }
    return std::static_pointer_cast<T>(found);
}

template <typename Pred> bool Call::waitFor(DWORD milliseconds, Pred pred) {
    World& w = world();
    for (;;) {
        if (pred()) {
            return true;
        }
        throwIfEnding();
        if (w.ending) {
            return pred();
        }
        if (milliseconds == 0) {
            return false;
        }
        if (milliseconds == INFINITE) {
            w.changed.wait(m_lock);
            continue;
        }
        if (w.timeScale == 0) {
            w.simulatedNow += milliseconds;
            // Let the other threads run before the caller sees its time-out.
            m_lock.unlock();
            std::this_thread::yield();
            m_lock.lock();
            return pred();
        }
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::microseconds(
                            static_cast<std::int64_t>(milliseconds * 1000.0 * w.timeScale));
        while (!pred()) {
            throwIfEnding();
            if (w.ending) {
                return pred();
            }
            if (w.changed.wait_until(m_lock, deadline) == std::cv_status::timeout) {
                return pred();
            }
        }
        return true;
    }
}

} // namespace winsim::detail
