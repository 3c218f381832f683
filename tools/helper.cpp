// standin: a stand-in for the software that Brisvel watches, run as an
// own-process service (installed as "Ondrimar" by the scenarios and the
// demo).
//
// While healthy it keeps the named section "Ondrimar_LiveCheck" (one page,
// unless a control below gives it another size) holding "1" and its
// terminating zero. It reports a short wait hint, so a watchdog that sleeps
// the hint between start attempts does not stretch the measured restart
// times. It accepts stop, and these user-defined controls, each done before
// ControlService returns:
//   128  publish "1" (recreating the section if it was removed)
//   129  publish "0"
//   130  remove the section
//   131  crash: report stopped with ERROR_PROCESS_ABORTED, as the service
//        manager records a service process that died, before
//        ControlService returns; the service thread then ends the process
//        100 ms later (time for the reply to reach the caller), without any
//        clean-up (the section goes with the process)
//   132  publish garbage: fill the whole section with non-zero bytes, the
//        first of them "1", so that it holds no terminating zero at all and
//        looks like "1" up to its second byte (recreating the section if
//        it was removed)
//   133  recreate the section with a size of 1 byte, holding "1" (without
//        its zero: the rest of the page a view spans reads as zero)
//   134  recreate the section with a size of 1 MiB, holding "1"
// 128, 129 and 132 write into the section as it is, so 133 or 134 followed
// by 129 leaves a section of that size holding "0", and 134 followed by 132
// a megabyte of garbage. No write goes past the section's size. 133 and
// 134 take a new section only once the old one is gone: while another
// process (a watchdog in the middle of its check) still holds the old one,
// the name would give the old one back, so the stand-in closes it and tries
// again, for up to a second. When 132, 133 or 134 cannot create the
// section, ControlService fails with the error that stopped it
// (ERROR_ALREADY_EXISTS when the old section stayed); the section is then
// missing.
// Interrogate re-reports the current status. Every other control is
// ignored. Started from a prompt it prints why it cannot run and exits 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "Handles.h"

namespace {

const char kSectionName[] = "Ondrimar_LiveCheck";
const DWORD kSectionSize = 4096;
const DWORD kTinySectionSize = 1;
const DWORD kHugeSectionSize = 1024 * 1024;
const DWORD kWaitHintMs = 300;
// How long a crashing stand-in lives on after its stopped report, for the
// reply to the crash control to reach the caller.
const DWORD kCrashGraceMs = 100;
// How often a recreation tries for a new section while the old one lives on
// in another process, 1 ms apart.
const int kCreateTries = 1000;

const DWORD kControlPublishAlive = 128;
const DWORD kControlPublishDead = 129;
const DWORD kControlRemoveSection = 130;
const DWORD kControlCrash = 131;
const DWORD kControlPublishGarbage = 132;
const DWORD kControlTinySection = 133;
const DWORD kControlHugeSection = 134;

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
    CLiveSection() : m_size(0) {}

    // Creates the section (of the default size) if it does not exist and
    // writes `text` with its zero at its start, as much of it as the
    // section holds. Returns false, with the last error set, when the
    // section cannot be had.
    bool Publish(const char* text) {
        if (!m_view && !Create(kSectionSize, false))
            return false;
        const size_t length = std::strlen(text) + 1;
        std::memcpy(m_view.get(), text, length < m_size ? length : m_size);
        return true;
    }

    // Fills the whole section with non-zero bytes, the first of them "1",
    // creating the section first if it does not exist. Returns false, with
    // the last error set, when the section cannot be had.
    bool PublishGarbage() {
        if (!m_view && !Create(kSectionSize, false))
            return false;
        unsigned char* bytes = static_cast<unsigned char*>(m_view.get());
        bytes[0] = '1';
        // A fixed xorshift sequence, so every run writes the same bytes.
        DWORD state = 0x2545F491u;
        for (DWORD i = 1; i < m_size; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            bytes[i] = static_cast<unsigned char>(1 + state % 255);
        }
        return true;
    }

    // Replaces the section by a new one of `size` bytes holding `text`.
    // Returns false, with the last error set and no section kept, when no
    // new section can be had.
    bool Recreate(DWORD size, const char* text) {
        Remove();
        return Create(size, true) && Publish(text);
    }

    // Unmaps and closes it: the section ends with the last handle to it.
    void Remove() {
        m_view.reset();
        m_mapping.reset();
        m_size = 0;
    }

private:
    // Creates a section of `size` bytes and maps it whole. A section of the
    // name that still exists (kept alive by another process's handle) is
    // taken as it is, unless `fresh` is set: it is then closed again and
    // the creation retried until that process lets go. Returns false, with
    // the last error set, on failure.
    bool Create(DWORD size, bool fresh) {
        for (int attempt = 0; attempt < kCreateTries; ++attempt) {
            SetLastError(NO_ERROR);
            CHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                               size, kSectionName));
            if (!mapping)
                return false;
            if (fresh && GetLastError() == ERROR_ALREADY_EXISTS) {
                mapping.reset();
                Sleep(1);
                continue;
            }
            CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
            if (!view)
                return false;
            m_mapping = std::move(mapping);
            m_view = std::move(view);
            m_size = size;
            return true;
        }
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }

    CHandle m_mapping;
    CMappedView m_view;
    DWORD m_size;
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
        if (woken == WAIT_OBJECT_0 + 1) {
            // The handler has returned (it held the lock), but the
            // dispatcher sends its reply to ControlService only after that;
            // a process ended at once cut the reply (ERROR_BROKEN_PIPE) in
            // about one crash in twenty.
            Sleep(kCrashGraceMs);
            TerminateProcess(GetCurrentProcess(), ERROR_PROCESS_ABORTED);
        }
        m_section.Remove();
        Report(SERVICE_STOPPED, NO_ERROR);
    }

private:
    static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID context) {
        return static_cast<CStandIn*>(context)->Handle(control);
    }

    // Returns NO_ERROR, or for the section's size and garbage controls the
    // error that kept the section from being made.
    DWORD Handle(DWORD control) {
        CLock lock(m_lock);
        switch (control) {
        case SERVICE_CONTROL_STOP:
            if (m_status.dwCurrentState != SERVICE_RUNNING)
                return NO_ERROR;
            Report(SERVICE_STOP_PENDING, NO_ERROR);
            SetEvent(m_stopEvent.get());
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            SetServiceStatus(m_handle, &m_status);
            return NO_ERROR;
        case kControlPublishAlive:
            m_section.Publish("1");
            return NO_ERROR;
        case kControlPublishDead:
            m_section.Publish("0");
            return NO_ERROR;
        case kControlRemoveSection:
            m_section.Remove();
            return NO_ERROR;
        case kControlCrash:
            // Ending the process here would cut the reply to ControlService
            // (ERROR_BROKEN_PIPE): the service thread ends it instead.
            if (m_status.dwCurrentState != SERVICE_RUNNING)
                return NO_ERROR;
            Report(SERVICE_STOPPED, ERROR_PROCESS_ABORTED);
            SetEvent(m_crashEvent.get());
            return NO_ERROR;
        case kControlPublishGarbage:
            return m_section.PublishGarbage() ? NO_ERROR : GetLastError();
        case kControlTinySection:
            return m_section.Recreate(kTinySectionSize, "1") ? NO_ERROR : GetLastError();
        case kControlHugeSection:
            return m_section.Recreate(kHugeSectionSize, "1") ? NO_ERROR : GetLastError();
        default:
            return NO_ERROR;
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
