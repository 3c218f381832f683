#include "StatusRecord.h"

void FillStatusRecord(SERVICE_STATUS& status, DWORD& checkPoint, DWORD state, DWORD waitHint,
                      DWORD exitCode, DWORD controlsAccepted) {
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : controlsAccepted;
    status.dwCurrentState = state;
    status.dwWaitHint = waitHint;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWin32ExitCode = exitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        status.dwCheckPoint = 0;
    else
        status.dwCheckPoint = ++checkPoint;
}
