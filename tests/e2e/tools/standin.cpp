// standin: a stand-in for the software that Brisvel watches, run as an
// own-process service (installed as "Ondrimar" by the scenarios and the
// demo).
//
// While healthy it keeps the named section "Ondrimar_LiveCheck" (one page)
// holding "1" and its terminating zero. It reports a short wait hint, so a
// watchdog that sleeps the hint between start attempts does not stretch the
// measured restart times. It accepts stop, and these user-defined controls,
// each done before ControlService returns:
//   128  publish "1" (recreating the section if it was removed)
//   129  publish "0"
//   130  remove the section
//   131  crash: report stopped with ERROR_PROCESS_ABORTED, as the service
//        manager records a service process that died, before
//        ControlService returns; the service thread then ends the process
//        at once, without any clean-up (the section goes with the process)
// Interrogate re-reports the current status. Every other control is
// ignored. Started from a prompt it prints why it cannot run and exits 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "Owned.h"

namespace {

const char kSectionName[] = "Ondrimar_LiveCheck";
const DWORD kSectionSize = 4096;
const DWORD kWaitHintMs = 300;

const DWORD kControlPublishAlive = 128;
const DWORD kControlPublishDead = 129;
const DWORD kControlRemoveSection = 130;
const DWORD kControlCrash = 131;

// Serialises a block against the control handler, which Wine runs on a
// thread of its own.
class CLock {
public:
    explicit CLock(CRITICAL_SECTION& section) : m_section(section) {
        EnterCriticalSection(&m_section);
    }
    ~CLock() { LeaveCriticalSection(&m_section); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CRITICAL_SECTION& m_section;
};

// The liveness section: the mapping and the view it is written through.
class CLiveSection {
public:
    // Creates the section if it does not exist and writes `text` (with its
    // zero) at its start. Returns false when the section cannot be had.
    bool Publish(const char* text) {
        if (!m_view) {
            CHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                               kSectionSize, kSectionName));
            if (!mapping)
                return false;
            CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
            if (!view)
                return false;
            m_mapping = std::move(mapping);
            m_view = std::move(view);
        }
        std::memcpy(m_view.get(), text, std::strlen(text) + 1);
        return true;
    }

    // Unmaps and closes it: the section ends with the last handle to it.
    void Remove() {
        m_view.reset();
        m_mapping.reset();
    }

private:
    CHandle m_mapping;
    CMappedView m_view;
};

class CStandIn {
public:
    CStandIn() : m_handle(nullptr), m_status(), m_checkPoint(0) {
        InitializeCriticalSection(&m_lock);
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    }
    ~CStandIn() { DeleteCriticalSection(&m_lock); }
    CStandIn(const CStandIn&) = delete;
    CStandIn& operator=(const CStandIn&) = delete;

    void Run(const char* name) {
        m_handle = RegisterServiceCtrlHandlerExA(name, Handler, this);
        if (m_handle == nullptr)
            return;
        m_stopEvent = CHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        m_crashEvent = CHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        {
            CLock lock(m_lock);
            Report(SERVICE_START_PENDING, NO_ERROR);
            if (!m_stopEvent || !m_crashEvent || !m_section.Publish("1")) {
                Report(SERVICE_STOPPED, GetLastError());
                return;
            }
            Report(SERVICE_RUNNING, NO_ERROR);
        }
        const HANDLE events[] = {m_stopEvent.get(), m_crashEvent.get()};
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        CLock lock(m_lock);
        if (woken == WAIT_OBJECT_0 + 1)
            TerminateProcess(GetCurrentProcess(), ERROR_PROCESS_ABORTED);
        m_section.Remove();
        Report(SERVICE_STOPPED, NO_ERROR);
    }

private:
    static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID context) {
        static_cast<CStandIn*>(context)->Handle(control);
        return NO_ERROR;
    }

    void Handle(DWORD control) {
        CLock lock(m_lock);
        switch (control) {
        case SERVICE_CONTROL_STOP:
            if (m_status.dwCurrentState != SERVICE_RUNNING)
                return;
            Report(SERVICE_STOP_PENDING, NO_ERROR);
            SetEvent(m_stopEvent.get());
            return;
        case SERVICE_CONTROL_INTERROGATE:
            SetServiceStatus(m_handle, &m_status);
            return;
        case kControlPublishAlive:
            m_section.Publish("1");
            return;
        case kControlPublishDead:
            m_section.Publish("0");
            return;
        case kControlRemoveSection:
            m_section.Remove();
            return;
        case kControlCrash:
            // Ending the process here would cut the reply to ControlService
            // (ERROR_BROKEN_PIPE): the service thread ends it instead.
            if (m_status.dwCurrentState != SERVICE_RUNNING)
                return;
            Report(SERVICE_STOPPED, ERROR_PROCESS_ABORTED);
            SetEvent(m_crashEvent.get());
            return;
        default:
            return;
        }
    }

    // Called with m_lock held.
    void Report(DWORD state, DWORD win32ExitCode) {
        const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
        m_status.dwCurrentState = state;
        m_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
        m_status.dwWin32ExitCode = win32ExitCode;
        m_status.dwCheckPoint = settled ? 0 : ++m_checkPoint;
        m_status.dwWaitHint = settled ? 0 : kWaitHintMs;
        SetServiceStatus(m_handle, &m_status);
    }

    CRITICAL_SECTION m_lock;
    SERVICE_STATUS_HANDLE m_handle;
    SERVICE_STATUS m_status;
    DWORD m_checkPoint;
    CHandle m_stopEvent;
    CHandle m_crashEvent;
    CLiveSection m_section;
};

char s_serviceName[] = "Ondrimar";
CStandIn* s_standIn = nullptr;
HANDLE s_finished = nullptr;

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    // The name the service manager started us under, for the handler.
    s_standIn->Run(argc > 0 ? argv[0] : s_serviceName);
    SetEvent(s_finished);
}

} // namespace

int main() {
    CStandIn standIn;
    CHandle finished(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!finished)
        return 1;
    s_standIn = &standIn;
    s_finished = finished.get();
    SERVICE_TABLE_ENTRYA table[] = {{s_serviceName, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        std::fprintf(stderr, "standin: runs only as a service (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    // The dispatcher returns as soon as stopped is reported, while the
    // service thread may still be in Run: wait for it before the objects it
    // uses go. After a crash report that thread ends the process instead.
    const DWORD kFinishMs = 10000;
    WaitForSingleObject(finished.get(), kFinishMs);
    return 0;
}
