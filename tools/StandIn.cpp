// The stand-in for the monitored software, run as the service "Ondrimar" by
// the scenarios, the demo and the benchmark. While healthy it publishes "1"
// through the publisher (publisher/LiveCheckPublisher.h), as the monitored
// software is meant to. It reports a short wait hint (300 ms) so that
// restart times measure the watchdog, not the hint. It accepts stop, and
// the controls of tools/StandInControls.h, each done before ControlService
// returns:
//  - a crash is shown as the service manager of Windows shows one: the
//    section closed (the end of a process closes its handles before the
//    service manager sees it), stopped reported with ERROR_PROCESS_ABORTED,
//    and the process ended 100 ms later (time for the reply to be sent)
//    without other clean-up; vanishing ends the process 100 ms later
//    without reporting anything, as a real crash does (Wine's service
//    manager then shows it running for good);
//  - the hangs: a stop answered and ignored, or never answered (the
//    handler blocks, as a hung service's does); the heartbeat frozen; and
//    a stop that reports stopped while the process runs on, no longer the
//    service's;
//  - publishing "1" or "0" and filling with garbage open the publisher's
//    page when there is no section. The garbage and the sections of 1 byte
//    and 1 MiB are sections no publisher writes, made by the tests' own code
//    (tests/wine/BrokenSections.cpp); "1" and "0" are written into such a
//    section, once there is one, with that code too.
// Modes: "slow" reports start pending with a wait hint of INFINITE for half
// a second before it runs; "fail" reports start pending and then stopped;
// "beat" moves the heartbeat on every 2 s while it runs. When the publisher
// cannot open the section at start, the stand-in does what the monitored
// software is told to: it writes an error record "cannot publish
// Ondrimar_LiveCheck: error N" (N the publisher's last error,
// LIVECHECK_ERROR_NAME_TAKEN when the name is squatted) and serves on.
#include <cstdio>
#include <cstring>

#include "LiveCheckPublisher.h"
#include "StandInControls.h"
#include "helper.h"
#include "probes.h"

namespace {

const DWORD kPublishFailedEventId = 1;
// How often mode "beat" moves the heartbeat on.
const DWORD kBeatPeriodMs = 2000;

// One error record under the service's name: the alarm of a publisher that
// cannot open its section.
void LogPublishFailure(DWORD error) {
    char text[96];
    std::snprintf(text, sizeof text, "cannot publish %s: error %lu", LIVECHECK_SECTION_NAME,
                  static_cast<unsigned long>(error));
    LPCSTR strings[1] = {text};
    CEventSource source(RegisterEventSourceA(nullptr, LIVECHECK_SERVICE_NAME));
    if (source)
        ReportEventA(source.get(), EVENTLOG_ERROR_TYPE, 0, kPublishFailedEventId, nullptr, 1, 0,
                     strings, nullptr);
}

class CStandIn {
public:
    explicit CStandIn(const char* mode)
        : m_mode(mode), m_handle(nullptr), m_status(), m_checkPoint(0), m_ignoreStop(false),
          m_blockStop(false), m_beatFrozen(false), m_detachAtStop(false), m_detached(false),
          m_publisher() {
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    }
    ~CStandIn() { LiveCheckClose(&m_publisher); }

    void Run(const char* name) {
        m_handle = RegisterServiceCtrlHandlerExA(name, Handler, this);
        m_stop.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (m_handle == nullptr || !m_stop)
            return;
        bool slow = std::strcmp(m_mode, "slow") == 0;
        {
            CCriticalSectionLock lock(m_lock);
            Report(SERVICE_START_PENDING, slow ? INFINITE : 300, NO_ERROR);
        }
        if (slow)
            Sleep(500);
        {
            CCriticalSectionLock lock(m_lock);
            if (std::strcmp(m_mode, "fail") == 0) {
                Report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR);
                return;
            }
            if (!Publish(LIVECHECK_ALIVE_TEXT))
                LogPublishFailure(GetLastError());
            Report(SERVICE_RUNNING, 0, NO_ERROR);
        }
        CHandle beater;
        if (std::strcmp(m_mode, "beat") == 0)
            beater.reset(CreateThread(nullptr, 0, Beat, this, 0, nullptr));
        WaitForSingleObject(m_stop.get(), INFINITE);
        WaitForSingleObject(beater.get(), INFINITE);
        CCriticalSectionLock lock(m_lock);
        RemoveSection();
        Report(SERVICE_STOPPED, 0, NO_ERROR);
    }

    // After the dispatcher has returned: whether the process is to run on,
    // no longer the service's.
    bool Detached() {
        CCriticalSectionLock lock(m_lock);
        return m_detached;
    }

private:
    // Wine runs the handler on a thread of its own: the lock keeps it apart
    // from Run's reports and the section.
    static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID self) {
        CStandIn* standIn = static_cast<CStandIn*>(self);
        {
            CCriticalSectionLock lock(standIn->m_lock);
            if (control != SERVICE_CONTROL_STOP || !standIn->m_blockStop)
                return standIn->Handle(control);
        }
        // A hung handler: the stop is never answered, and no later control
        // reaches this process.
        Sleep(INFINITE);
        return NO_ERROR;
    }

    // Moves the heartbeat on every 2 s until the stop, unless it is frozen.
    static DWORD WINAPI Beat(LPVOID self) {
        CStandIn* standIn = static_cast<CStandIn*>(self);
        while (WaitForSingleObject(standIn->m_stop.get(), kBeatPeriodMs) == WAIT_TIMEOUT) {
            CCriticalSectionLock lock(standIn->m_lock);
            if (!standIn->m_beatFrozen)
                LiveCheckBeat(&standIn->m_publisher);
        }
        return 0;
    }

    // Returns NO_ERROR, or the last error of the section call that failed.
    DWORD Handle(DWORD control) {
        bool running = m_status.dwCurrentState == SERVICE_RUNNING;
        bool done = true;
        switch (control) {
        case SERVICE_CONTROL_STOP:
            if (running && m_detachAtStop) {
                // The section goes, as at a stop; the process stays.
                RemoveSection();
                m_detached = true;
                Report(SERVICE_STOPPED, 0, NO_ERROR);
            } else if (running && !m_ignoreStop) {
                Report(SERVICE_STOP_PENDING, 300, NO_ERROR);
                SetEvent(m_stop.get());
            }
            break;
        case SERVICE_CONTROL_INTERROGATE:
            SetServiceStatus(m_handle, &m_status);
            break;
        case STANDIN_PUBLISH_ALIVE:
        case STANDIN_PUBLISH_ZERO:
            done = Publish(control == STANDIN_PUBLISH_ALIVE ? LIVECHECK_ALIVE_TEXT
                                                            : LIVECHECK_UNHEALTHY_TEXT);
            break;
        case STANDIN_REMOVE_SECTION:
            RemoveSection();
            break;
        case STANDIN_CRASH:
        case STANDIN_VANISH:
            if (running) {
                if (control == STANDIN_CRASH) {
                    RemoveSection();
                    Report(SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED);
                }
                CHandle ender(CreateThread(nullptr, 0, EndSoon, nullptr, 0, nullptr));
            }
            break;
        case STANDIN_FILL_GARBAGE:
            done = m_broken.view() || m_publisher.view || LiveCheckOpen(&m_publisher);
            if (done)
                FillGarbage(m_broken.view() ? m_broken.view() : m_publisher.view);
            break;
        case STANDIN_IGNORE_STOP:
            m_ignoreStop = true;
            break;
        case STANDIN_BLOCK_STOP:
            m_blockStop = true;
            break;
        case STANDIN_FREEZE_BEAT:
            m_beatFrozen = true;
            break;
        case STANDIN_DETACH_AT_STOP:
            m_detachAtStop = true;
            break;
        case STANDIN_SECTION_ONE_BYTE:
        case STANDIN_SECTION_ONE_MIB:
            LiveCheckClose(&m_publisher);
            done = m_broken.Create(control == STANDIN_SECTION_ONE_BYTE ? 1 : 1024 * 1024,
                                   LIVECHECK_ALIVE_TEXT);
            break;
        }
        return done ? NO_ERROR : GetLastError();
    }

    static DWORD WINAPI EndSoon(LPVOID) {
        Sleep(100);
        TerminateProcess(GetCurrentProcess(), ERROR_PROCESS_ABORTED);
        return 0;
    }

    // Writes `text` (the alive or the unhealthy one): through the publisher,
    // opening its section first when there is none, or into the broken
    // section held. Returns false with the last error of the call that
    // failed.
    bool Publish(const char* text) {
        if (m_broken.view())
            return m_broken.Write(text);
        if (!m_publisher.view && !LiveCheckOpen(&m_publisher))
            return false;
        return std::strcmp(text, LIVECHECK_ALIVE_TEXT) == 0 ? LiveCheckAlive(&m_publisher)
                                                            : LiveCheckUnhealthy(&m_publisher);
    }

    void RemoveSection() {
        m_broken.Release();
        LiveCheckClose(&m_publisher);
    }

    // Called with m_lock held.
    void Report(DWORD state, DWORD waitHint, DWORD exitCode) {
        bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
        m_status.dwCurrentState = state;
        m_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
        m_status.dwWin32ExitCode = exitCode;
        m_status.dwServiceSpecificExitCode = exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? 1 : 0;
        m_status.dwCheckPoint = settled ? 0 : ++m_checkPoint;
        m_status.dwWaitHint = waitHint;
        SetServiceStatus(m_handle, &m_status);
    }

    const char* m_mode;
    CCriticalSection m_lock;
    SERVICE_STATUS_HANDLE m_handle;
    SERVICE_STATUS m_status;
    DWORD m_checkPoint;
    CHandle m_stop;
    bool m_ignoreStop;   // a stop is answered, and nothing done
    bool m_blockStop;    // a stop is never answered
    bool m_beatFrozen;   // the heartbeat stands still
    bool m_detachAtStop; // a stop reports stopped, and the process runs on
    bool m_detached;     // stopped reported, the process runs on
    // At most one of the two holds a section. The publisher's is a C struct
    // released by LiveCheckClose, on every path through RemoveSection.
    LiveCheckPublisher m_publisher;
    CBrokenSection m_broken;
};

CStandIn* s_standIn = nullptr;

void WINAPI StandInMain(DWORD argc, LPSTR* argv) {
    s_standIn->Run(argc > 0 ? argv[0] : LIVECHECK_SERVICE_NAME);
}

} // namespace

int RunService(const char* mode) {
    CStandIn standIn(mode);
    s_standIn = &standIn;
    char name[] = LIVECHECK_SERVICE_NAME;
    SERVICE_TABLE_ENTRYA table[] = {{name, StandInMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        return Fail("StartServiceCtrlDispatcher");
    // The dispatcher returns once stopped is reported, while the service
    // thread may still be leaving Run; the process ends with the objects.
    // A detached stand-in runs on until it is ended.
    Sleep(100);
    while (standIn.Detached())
        Sleep(INFINITE);
    return 0;
}
