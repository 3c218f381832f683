// The service manager's notice that "Ondrimar" stopped, or was marked for
// deletion, for the monitor thread alone, where Windows gives one (Vista
// and later).
#pragma once

#include <windows.h>

#include "Handles.h"
#include "RestartLoop.h"

// NotifyServiceStatusChangeW, of advapi32 from Windows Vista on.
typedef DWORD(WINAPI* NotifyStatusChangeFunction)(SC_HANDLE service, DWORD mask,
                                                  PSERVICE_NOTIFYW buffer);

// The request is one-shot: each notice is asked for anew. The notice is an
// APC queued to the thread that asked, run only while that thread waits
// alertably, so the monitor asks and waits on its own thread, and the
// object (whose buffer the service manager fills) lives in the monitor
// thread's frame, which is never left: no notice can run into freed memory,
// whenever it comes.
//
// The service handle is kept from one request to the next; while it is
// open, a deleted service stays in the service manager's database. So it is
// closed when the service is marked for deletion, cannot be started for
// good (disabled, marked for deletion, gone), a request fails, or the
// watchdog stops; and none is opened again until the monitor's next
// accepted start, which also gives a re-created service a handle of its own.
class CStopNotice {
public:
    CStopNotice();

    CStopNotice(const CStopNotice&) = delete;
    CStopNotice& operator=(const CStopNotice&) = delete;

    // Asks for the next notice, unless one is asked for already, there is
    // no notice to ask for, or the handle was closed since the last accepted
    // start; opens the service first when no handle is held. Before asking
    // again after a stop, closes the handle of a service marked for
    // deletion. Any failure closes the handle: the monitor then polls alone
    // until its next accepted start.
    void Ask();

    // Waits up to `ms`, alertably so that a notice can come, or until `wake`
    // is set. A notice that the service is marked for deletion closes the
    // handle at once.
    void Wait(HANDLE wake, DWORD ms);

    // Takes in how a restart ended: an accepted start lets a handle be
    // opened again; a start refused for good closes it.
    void Follow(const CRestartOutcome& outcome);

    // Closes the handle, which cancels the request: no notice is queued
    // after this. None is opened again until the next accepted start.
    void Close();

private:
    // The notice, run as an APC on the monitor thread while it waits in
    // Wait; `notify` is m_buffer.
    static void CALLBACK Came(PVOID notify);

    NotifyStatusChangeFunction m_notify;
    // Declared in the order they are opened: the service handle is closed
    // first, then the manager handle.
    CServiceHandle m_manager;
    CServiceHandle m_service;
    SERVICE_NOTIFYW m_buffer;
    bool m_asked;      // a request is outstanding: m_buffer is the service manager's
    bool m_came;       // a notice came during the last Wait
    DWORD m_triggered; // SERVICE_NOTIFY_* bits of the notices since the last Ask
    bool m_mayOpen;    // no Close since the last accepted start
};
