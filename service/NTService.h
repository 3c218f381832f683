// CNTService: the base class that turns a console program into a Windows
// service.
//
// A service class derives from it, supplies Execute and OnStop, may override
// OnPause, OnContinue and OnShutdown, and sets the controls it accepts in its
// constructor. The process has exactly one service object; the static
// procedures the Service Control Manager calls reach it through s_instance.
//
// Operations return BOOL-style results (nonzero for success, 0 for failure)
// and never throw.
#pragma once

#include <windows.h>

#include "Handles.h"

class CNTService {
public:
    // Stores both names as given (they are not copied and must outlive the
    // object); a null display name means the service name. Detects the
    // platform and, on Windows NT, copies the SID of the account the process
    // runs under. Makes this object the process's service instance.
    CNTService(LPCSTR serviceName, LPCSTR displayName);

    // Frees the SID copy and clears s_instance. Not virtual: the one object
    // lives in the entry point's frame and is never deleted through a base
    // pointer.
    ~CNTService();

    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // The service's work, called once by ServiceMainProc after the first
    // start-pending report. Returns nonzero when the service ran and was
    // stopped; 0 when it gave up, with the last error saying why: the
    // stopped report then carries that error as its exit code.
    virtual BOOL Execute(DWORD argc, LPSTR* argv) = 0;
    // Called by ControlHandler for a stop request, after the current state
    // has been set to stop pending. Reporting is the override's task.
    virtual BOOL OnStop() = 0;
    // Called for pause, continue and shutdown requests; these do nothing.
    virtual BOOL OnPause();
    virtual BOOL OnContinue();
    virtual BOOL OnShutdown();

    // Walks the options, runs the selected action through virtual dispatch
    // and returns its result unchanged.
    virtual int HandleCommandLine(int argc, char** argv);
    // Connects the process to the Service Control Manager and blocks until
    // the service has stopped. Returns the dispatcher's nonzero result, or 0
    // (after writing an error record) when the process was not started by
    // the SCM.
    virtual BOOL RunAsService();
    // Console actions: 1 on success, 0 on failure.
    virtual BOOL Install();
    virtual BOOL Uninstall();
    virtual BOOL StopInstalled();
    virtual BOOL StartInstalled();
    // Event-log source registration: return a registry status code.
    virtual LONG AddEventSource(LPCSTR messageFile, DWORD typesSupported);
    virtual LONG RemoveEventSource();
    // The `eventId` (-1 as a DWORD) that asks LogEvent for the default
    // identifier of the record's type.
    static const DWORD kDefaultEventId = 0xFFFFFFFFu;

    // Writes one Application-log record under m_eventSource with one string,
    // `text`. An `eventId` of kDefaultEventId asks for the default
    // identifier of `eventType`. Writes nothing when the event source cannot
    // be registered.
    virtual void LogEvent(LPCSTR text, WORD eventType, DWORD eventId);

    // Fills m_status for `state` and reports it to the SCM. Returns
    // SetServiceStatus's nonzero result, or 0 after writing a
    // "SetServiceStatus() failed" record.
    BOOL SetStatus(DWORD state, DWORD waitHint, DWORD exitCode);

    // Puts the system's message text for the calling thread's last error
    // into `buffer` (`size` bytes, NUL included), without the message's last
    // two characters (the CR LF that ends system messages). The text is
    // empty when there is no message or when `size` is less than its length
    // plus 14. Returns `buffer`.
    LPSTR FormatLastError(LPSTR buffer, DWORD size);

    // Gives the console actions a console: allocates one if the process has
    // none and binds stdout, stderr and stdin to the standard handles,
    // unbuffered. Works once per object; later calls do nothing.
    void OpenConsole();

    static void WINAPI ServiceMainProc(DWORD argc, LPSTR* argv);
    static void WINAPI ControlHandler(DWORD control);

    static CNTService* s_instance;

    LPCSTR m_serviceName;
    LPCSTR m_displayName;
    // The event source of LogEvent's records: the service name, and when the
    // service manager runs the service, the name it was started by (a
    // service name has at most 256 characters).
    char m_eventSource[257];
    DWORD m_checkPoint;
    DWORD m_lastError;
    SERVICE_STATUS m_status;
    SERVICE_STATUS_HANDLE m_statusHandle;
    DWORD m_controlsAccepted;
    CLocalMemory m_userSid;
    BOOL m_isNt;
    BOOL m_consoleOpened;
    DWORD m_desiredAccess;
    DWORD m_serviceType;
    DWORD m_startType;
    DWORD m_errorControl;
    LPCSTR m_loadOrderGroup;
    DWORD m_tagId;
    LPCSTR m_dependencies;
    LPCSTR m_accountName;
    LPCSTR m_password;

protected:
    // The control handler (on the dispatcher's thread) and the service-main
    // thread both report status, so filling and reporting m_status, the
    // check-point counter and the status handle are serialised by this lock.
    // A service class uses it for state its handlers share with Execute.
    CCriticalSection m_stateLock;

protected:
    // How a stop request sent from a console ended.
    enum EStopOutcome {
        StopRefused,  // the service did not take the request (it was not running)
        Stopped,      // it reached SERVICE_STOPPED
        FailedToStop, // it left stop pending for another state
    };

    // Sends the stop control to `service` and, when it is accepted, prints
    // "Stopping <name>." and waits, a dot for each further second the
    // service is still stop pending, then the verdict line. Nothing is
    // printed when the request is refused. m_status holds the last status
    // received. Used by Uninstall and StopInstalled alike.
    EStopOutcome StopAndWait(SC_HANDLE service);

    // Opens the service manager and then the service m_serviceName, both
    // with full access, into `manager` and `service` (declared by the caller
    // in that order, so the service handle is released first). On failure
    // prints "OpenSCManager failed - ..." or "OpenService failed - ..." with
    // the system's text, releases what it opened and returns false.
    bool OpenInstalledService(CServiceHandle& manager, CServiceHandle& service);

    // Queries `service` into m_status once a second for as long as it
    // reports `pendingState`, printing a dot for each query that still finds
    // it; ends at the first other state or failed query, without a limit.
    void WaitWhilePending(SC_HANDLE service, DWORD pendingState);

private:
    // Reports `state`, or with `keepCurrentState` the state already in the
    // record; reading that state and reporting it happen under one hold of
    // the lock, so an interrogate cannot re-report a state that the
    // service-main thread has just replaced.
    BOOL Report(DWORD state, bool keepCurrentState, DWORD waitHint, DWORD exitCode,
                DWORD win32ExitCode = NO_ERROR);
    void SetCurrentState(DWORD state);
    void CopyUserSid();
};
