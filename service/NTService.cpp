#include "NTService.h"

#include <string.h>

#include <utility>

#include "EventRecord.h"
#include "MessageText.h"

CNTService* CNTService::s_instance = NULL;

namespace {

const DWORD kServiceWaitHint = 3000;

// Fills every field of `status` except the service type for a report of
// `state` (one of the SERVICE_* states):
// - accepted controls: none while start pending, since the SCM must not send
//   pause or stop before the service's events exist; `controlsAccepted` in
//   every other state, stop pending and stopped included;
// - Win32 exit code `win32ExitCode` when it is nonzero (and no
//   service-specific code); else ERROR_SERVICE_SPECIFIC_ERROR with `exitCode`
//   as the service-specific code when `exitCode` is nonzero; else both 0;
// - check point 0 for running and stopped; for the pending states and paused
//   the counter `checkPoint` is advanced first and its new value reported.
//   The counter is never reset, so every pending phase of the object's life
//   shares one rising sequence.
void FillStatusRecord(SERVICE_STATUS& status, DWORD& checkPoint, DWORD state, DWORD waitHint,
                      DWORD exitCode, DWORD win32ExitCode, DWORD controlsAccepted) {
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : controlsAccepted;
    status.dwCurrentState = state;
    status.dwWaitHint = waitHint;
    if (win32ExitCode != NO_ERROR) {
        status.dwWin32ExitCode = win32ExitCode;
        status.dwServiceSpecificExitCode = 0;
    } else {
        status.dwWin32ExitCode = exitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
        status.dwServiceSpecificExitCode = exitCode;
    }
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        status.dwCheckPoint = 0;
    else
        status.dwCheckPoint = ++checkPoint;
}

} // namespace

CNTService::CNTService(LPCSTR serviceName, LPCSTR displayName)
    : m_serviceName(serviceName), m_displayName(displayName != NULL ? displayName : serviceName),
      m_checkPoint(0), m_lastError(0), m_status(), m_statusHandle(NULL),
      m_controlsAccepted(SERVICE_ACCEPT_STOP), m_userSid(), m_isNt(0), m_consoleOpened(0),
      m_desiredAccess(SERVICE_ALL_ACCESS), m_serviceType(SERVICE_WIN32_OWN_PROCESS),
      m_startType(SERVICE_AUTO_START), m_errorControl(SERVICE_ERROR_NORMAL), m_loadOrderGroup(NULL),
      m_tagId(0), m_dependencies(NULL), m_accountName(NULL), m_password(NULL) {
    lstrcpynA(m_eventSource, serviceName, sizeof m_eventSource);

    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);

    s_instance = this;
    m_isNt = version.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;

    // Every field of the record but these two is set by each report. The
    // others start at 0, so an interrogate that arrives between the
    // handler's registration and the first report reports state 0.
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_status.dwServiceSpecificExitCode = 0;

    // Windows 9x has no account SIDs; records there carry no user.
    if (m_isNt)
        CopyUserSid();
}

CNTService::~CNTService() {
    m_userSid.reset();
    s_instance = NULL;
}

void CNTService::CopyUserSid() {
    char userName[256];
    char domainName[256];
    BYTE sid[4096];
    memset(userName, 0, sizeof userName);
    memset(domainName, 0, sizeof domainName);
    memset(sid, 0, sizeof sid);

    // On failure the name stays empty and the lookup below fails.
    DWORD userNameSize = sizeof userName - 1;
    GetUserNameA(userName, &userNameSize);

    DWORD sidSize = sizeof sid;
    DWORD domainSize = sizeof domainName - 1;
    SID_NAME_USE use;
    if (!LookupAccountNameA(NULL, userName, sid, &sidSize, domainName, &domainSize, &use))
        return;
    if (!IsValidSid(sid))
        return;

    // When no block can be allocated m_userSid stays null, and records are
    // written without a user.
    DWORD length = GetLengthSid(sid);
    CLocalMemory block(LocalAlloc(LPTR, length));
    if (!block)
        return;
    CopySid(length, block.get(), sid);
    m_userSid = std::move(block);
}

BOOL CNTService::OnPause() {
    return TRUE;
}

BOOL CNTService::OnContinue() {
    return TRUE;
}

BOOL CNTService::OnShutdown() {
    return TRUE;
}

BOOL CNTService::SetStatus(DWORD state, DWORD waitHint, DWORD exitCode) {
    return Report(state, false, waitHint, exitCode);
}

BOOL CNTService::Report(DWORD state, bool keepCurrentState, DWORD waitHint, DWORD exitCode,
                        DWORD win32ExitCode) {
    BOOL reported;
    {
        CCriticalSectionLock lock(m_stateLock);
        if (keepCurrentState)
            state = m_status.dwCurrentState;
        FillStatusRecord(m_status, m_checkPoint, state, waitHint, exitCode, win32ExitCode,
                         m_controlsAccepted);
        reported = SetServiceStatus(m_statusHandle, &m_status);
    }
    // Logged after the lock is released; the lock keeps the last error of
    // SetServiceStatus for LogEvent to store.
    if (!reported) {
        LogEvent("SetServiceStatus() failed", EVENTLOG_ERROR_TYPE, kDefaultEventId);
        return 0;
    }
    return reported;
}

void CNTService::SetCurrentState(DWORD state) {
    CCriticalSectionLock lock(m_stateLock);
    m_status.dwCurrentState = state;
}

void CNTService::LogEvent(LPCSTR text, WORD eventType, DWORD eventId) {
    DWORD lastError = GetLastError();
    {
        // Both the control handler and the service-main thread can log.
        CCriticalSectionLock lock(m_stateLock);
        m_lastError = lastError;
    }

    if (eventId == kDefaultEventId)
        eventId = DefaultEventId(eventType);

    // The source is registered for each record; no handle outlives the call.
    WriteEventRecord(m_eventSource, m_userSid.get(), eventType, eventId, text);
}

LPSTR CNTService::FormatLastError(LPSTR buffer, DWORD size) {
    DWORD error = GetLastError();

    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the function stores a pointer to a
    // LocalAlloc'ed block through the buffer argument.
    LPSTR message = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  NULL, error, 0, reinterpret_cast<LPSTR>(&message), 0, NULL);
    CLocalMemory owner(message);
    return TrimSystemMessage(buffer, size, message, length);
}

BOOL CNTService::RunAsService() {
    // The dispatch table's name field is not const in the published
    // declaration; the dispatcher only reads it.
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<LPSTR>(m_serviceName), ServiceMainProc},
        {NULL, NULL},
    };
    BOOL result = StartServiceCtrlDispatcherA(table);
    if (result)
        return result;

    // Fails at once with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the
    // program was started from a prompt rather than by the SCM.
    char text[256];
    FormatLastError(text, 255);
    LogEvent(text, EVENTLOG_ERROR_TYPE, kDefaultEventId);
    return 0;
}

void WINAPI CNTService::ServiceMainProc(DWORD argc, LPSTR* argv) {
    // From here on records go under the name the service manager started
    // the service by, which need not be m_serviceName: the program may be
    // installed under another name, beside a service of that name. Taken
    // before the handler is registered, so no record reads it half copied.
    if (argc > 0 && argv[0] != NULL && argv[0][0] != '\0')
        lstrcpynA(s_instance->m_eventSource, argv[0], sizeof s_instance->m_eventSource);
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerA(s_instance->m_serviceName, ControlHandler);
    {
        // The handler may run (and report) as soon as it is registered.
        CCriticalSectionLock lock(s_instance->m_stateLock);
        s_instance->m_statusHandle = handle;
    }
    if (handle == NULL)
        return;

    // A service that gave up stops with its error as the Win32 exit code, so
    // the service manager records a failure (and failure actions can act on
    // it) rather than a clean stop.
    DWORD failure = NO_ERROR;
    if (s_instance->SetStatus(SERVICE_START_PENDING, kServiceWaitHint, 0) &&
        !s_instance->Execute(argc, argv)) {
        failure = GetLastError();
        if (failure == NO_ERROR)
            failure = ERROR_SERVICE_SPECIFIC_ERROR;
    }
    s_instance->Report(SERVICE_STOPPED, false, kServiceWaitHint, 0, failure);
}

void WINAPI CNTService::ControlHandler(DWORD control) {
    // Stop, pause and continue only record the pending state; reporting it
    // is the virtual handler's task.
    switch (control) {
    case SERVICE_CONTROL_STOP:
        s_instance->SetCurrentState(SERVICE_STOP_PENDING);
        s_instance->OnStop();
        break;
    case SERVICE_CONTROL_PAUSE:
        s_instance->SetCurrentState(SERVICE_PAUSE_PENDING);
        s_instance->OnPause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        s_instance->SetCurrentState(SERVICE_CONTINUE_PENDING);
        s_instance->OnContinue();
        break;
    case SERVICE_CONTROL_INTERROGATE:
        s_instance->Report(0, true, kServiceWaitHint, 0);
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        s_instance->OnShutdown();
        break;
    default:
        break;
    }
}
