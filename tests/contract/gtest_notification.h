// GoogleTest's Notification for MinGW's win32 thread model, which has no
// std::mutex or std::condition_variable to build GoogleTest's own on.
// Force-included, ahead of everything else, into GoogleTest's sources and
// the suite's in the Windows build; GoogleTest then takes this one
// (GTEST_HAS_NOTIFICATION_ is its hook for a Notification of the platform).
#pragma once

#include <winsock2.h>
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

// A one-time signal from the controlling thread to the threads it made: a
// manual-reset event.
class Notification {
public:
    Notification() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(m_event); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(m_event); }
    void WaitForNotification() { WaitForSingleObject(m_event, INFINITE); }

private:
    HANDLE m_event;
};

} // namespace internal
} // namespace testing
