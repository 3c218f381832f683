#include "StopNotice.h"

#include "LiveCheckNames.h"

namespace {

const char kMonitoredService[] = LIVECHECK_SERVICE_NAME;

// The function, or null where there is none: it is looked up at run time,
// so that the exe still loads on Windows 9x, NT 4, 2000 and XP, which then
// poll alone. The benchmark's build of the watchdog defines
// BRISVEL_NO_STOP_NOTICE to measure the poll alone; the shipped one does not.
//
// The wide form, although everything else here is ANSI: no text crosses the
// call (names come only with the notices of a manager handle, which the
// monitor does not ask for), and Wine 8's advapi32 has no
// NotifyServiceStatusChangeA at all.
NotifyStatusChangeFunction LookUpNotifyStatusChange() {
#ifdef BRISVEL_NO_STOP_NOTICE
    return NULL;
#else
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (advapi == NULL)
        return NULL;
    return reinterpret_cast<NotifyStatusChangeFunction>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "NotifyServiceStatusChangeW")));
#endif
}

// True when `service` is marked for deletion: a configuration change that
// changes nothing is refused then, and only then, with
// ERROR_SERVICE_MARKED_FOR_DELETE. Wine's service manager never sends the
// delete-pending notice, nor refuses a notice request or an open of such a
// service as Windows does; this is how the monitor learns of the deletion
// there, at the service's stop.
bool MarkedForDeletion(SC_HANDLE service) {
    return !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                 NULL, NULL, NULL, NULL, NULL, NULL, NULL) &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

} // namespace

CStopNotice::CStopNotice()
    : m_notify(LookUpNotifyStatusChange()), m_buffer(), m_asked(false), m_came(false),
      m_triggered(0), m_mayOpen(true) {}

void CStopNotice::Ask() {
    if (m_notify == NULL || m_asked || !m_mayOpen)
        return;
    bool stopped = (m_triggered & SERVICE_NOTIFY_STOPPED) != 0;
    m_triggered = 0;
    if (m_service && stopped && MarkedForDeletion(m_service.get())) {
        Close();
        return;
    }
    if (!m_service) {
        m_manager.reset(OpenSCManagerA(NULL, NULL, GENERIC_READ));
        if (m_manager)
            m_service.reset(OpenServiceA(m_manager.get(), kMonitoredService,
                                         SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG));
        if (!m_service) {
            Close();
            return;
        }
    }
    m_buffer = SERVICE_NOTIFYW();
    m_buffer.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    m_buffer.pfnNotifyCallback = Came;
    m_buffer.pContext = this;
    // Refused with ERROR_SERVICE_MARKED_FOR_DELETE (the handle must go),
    // ERROR_SERVICE_NOTIFY_CLIENT_LAGGING (a new handle is needed), or an
    // error of a system without notices.
    if (m_notify(m_service.get(), SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_DELETE_PENDING,
                 &m_buffer) == ERROR_SUCCESS)
        m_asked = true;
    else
        Close();
}

void CStopNotice::Wait(HANDLE wake, DWORD ms) {
    m_came = false;
    WaitForSingleObjectEx(wake, ms, TRUE);
    if (m_came && (m_triggered & SERVICE_NOTIFY_DELETE_PENDING) != 0)
        Close();
}

void CStopNotice::Follow(const CRestartOutcome& outcome) {
    if (outcome.starts != 0)
        m_mayOpen = true;
    if (outcome.kind == CRestartOutcome::Refused || outcome.kind == CRestartOutcome::GaveUp)
        Close();
}

void CStopNotice::Close() {
    m_service.reset();
    m_manager.reset();
    m_asked = false;
    m_mayOpen = false;
}

void CALLBACK CStopNotice::Came(PVOID notify) {
    SERVICE_NOTIFYW* buffer = static_cast<SERVICE_NOTIFYW*>(notify);
    CStopNotice* self = static_cast<CStopNotice*>(buffer->pContext);
    self->m_asked = false;
    self->m_came = true;
    if (buffer->dwNotificationStatus == ERROR_SUCCESS)
        self->m_triggered |= buffer->dwNotificationTriggered;
}
