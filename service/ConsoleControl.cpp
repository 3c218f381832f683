// Starting and stopping the installed service from a console, with a
// progress line that grows by one dot for each second the service is still
// pending.
#include "NTService.h"

#include <stdio.h>

namespace {

const DWORD kPollInterval = 1000;

// The progress line is printed in pieces; each piece is flushed at once, so
// it shows also when standard output is a pipe or a file and so buffered.
void FlushProgress() {
    fflush(stdout);
}

} // namespace

void CNTService::WaitWhilePending(SC_HANDLE service, DWORD pendingState) {
    for (;;) {
        Sleep(kPollInterval);
        if (!QueryServiceStatus(service, &m_status))
            return;
        if (m_status.dwCurrentState != pendingState)
            return;
        printf(".");
        FlushProgress();
    }
}

CNTService::EStopOutcome CNTService::StopAndWait(SC_HANDLE service) {
    if (!ControlService(service, SERVICE_CONTROL_STOP, &m_status))
        return StopRefused;
    printf("Stopping %s.", m_displayName);
    FlushProgress();
    WaitWhilePending(service, SERVICE_STOP_PENDING);
    if (m_status.dwCurrentState == SERVICE_STOPPED) {
        printf("\n%s stopped.\n", m_displayName);
        return Stopped;
    }
    printf("\n%s failed to stop.\n", m_displayName);
    return FailedToStop;
}

bool CNTService::OpenInstalledService(CServiceHandle& manager, CServiceHandle& service) {
    char errorText[256];
    manager.reset(OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        printf("OpenSCManager failed - %s\n", FormatLastError(errorText, sizeof(errorText)));
        return false;
    }
    service.reset(OpenServiceA(manager.get(), m_serviceName, SERVICE_ALL_ACCESS));
    if (!service) {
        printf("OpenService failed - %s\n", FormatLastError(errorText, sizeof(errorText)));
        manager.reset();
        return false;
    }
    return true;
}

BOOL CNTService::StopInstalled() {
    CServiceHandle manager;
    CServiceHandle service;
    if (!OpenInstalledService(manager, service))
        return 0;
    return StopAndWait(service.get()) == Stopped ? 1 : 0;
}

BOOL CNTService::StartInstalled() {
    CServiceHandle manager;
    CServiceHandle service;
    if (!OpenInstalledService(manager, service))
        return 0;
    char errorText[256];
    printf("Starting up %s.", m_displayName);
    FlushProgress();
    if (!StartServiceA(service.get(), 0, NULL)) {
        printf("\n%s failed to start: %s\n", m_displayName,
               FormatLastError(errorText, sizeof(errorText)));
        return 0;
    }
    WaitWhilePending(service.get(), SERVICE_START_PENDING);
    if (m_status.dwCurrentState == SERVICE_RUNNING) {
        printf("\n%s started.\n", m_displayName);
        return 1;
    }
    printf("\n%s failed to start.\n", m_displayName);
    return 0;
}
